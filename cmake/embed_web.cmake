# The console's files, built into the export daemon: every file of web/ (its
# subfolders too) and the player library from node_modules/.
#
# Included from a CMakeLists.txt, it defines the rule that writes the C++
# source and sets web_assets_cpp to it. Run with -P (WEB_DIR, VENDOR_DIR and
# OUT given), it writes that source: index.html at "/", login.html at
# "/login", every other file of web/ at "/<path>", and the library's files
# at "/vendor/<name>".

# The player library: the ES module build without subtitles, alternate audio
# or DRM (none of which a recording has), and the worker it loads from the
# daemon. The version is pinned in package.json and package-lock.json.
set(BRINDLEWOOD_VENDOR_FILES hls.light.min.mjs hls.worker.js)
set(BRINDLEWOOD_VENDOR_HINT "run scripts/setup.sh (it runs npm ci), or npm ci in the repository")

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(vendor_dir ${PROJECT_SOURCE_DIR}/node_modules/hls.js/dist)
  set(vendor_files "")
  foreach(name ${BRINDLEWOOD_VENDOR_FILES})
    if(NOT EXISTS ${vendor_dir}/${name})
      message(FATAL_ERROR "${vendor_dir}/${name} is missing: the console's player comes from npm; "
                          "${BRINDLEWOOD_VENDOR_HINT}.")
    endif()
    list(APPEND vendor_files ${vendor_dir}/${name})
  endforeach()
  file(GLOB_RECURSE web_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/web/*)
  set(web_assets_cpp ${CMAKE_BINARY_DIR}/generated/web_assets.cpp)
  add_custom_command(OUTPUT ${web_assets_cpp}
    COMMAND ${CMAKE_COMMAND} -DWEB_DIR=${PROJECT_SOURCE_DIR}/web -DVENDOR_DIR=${vendor_dir}
            -DOUT=${web_assets_cpp} -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${web_files} ${vendor_files} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Console files from web/ and node_modules/")
  return()
endif()

# Each file becomes a string literal of escaped bytes, in pieces: one
# literal of half a megabyte is slow for the compiler, and a string is far
# cheaper to compile than the same bytes as an array of characters.
function(web_asset_literal path out_var)
  file(READ ${path} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(LENGTH "${escaped}" length)
  set(pieces "")
  set(at 0)
  while(at LESS length)
    string(SUBSTRING "${escaped}" ${at} 16384 piece)
    string(APPEND pieces "\n    \"${piece}\"")
    math(EXPR at "${at} + 16384")
  endwhile()
  if(pieces STREQUAL "")
    set(pieces "\"\"")
  endif()
  set(${out_var} "${pieces}" PARENT_SCOPE)
endfunction()

function(web_asset_type name out_var)
  get_filename_component(ext ${name} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js" OR ext STREQUAL ".mjs")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "${name}: no content type is known for ${ext} files")
  endif()
  set(${out_var} "${type}" PARENT_SCOPE)
endfunction()

foreach(name ${BRINDLEWOOD_VENDOR_FILES})
  if(NOT EXISTS ${VENDOR_DIR}/${name})
    message(FATAL_ERROR "${VENDOR_DIR}/${name} is missing: ${BRINDLEWOOD_VENDOR_HINT}.")
  endif()
endforeach()

file(GLOB_RECURSE files RELATIVE ${WEB_DIR} ${WEB_DIR}/*.html ${WEB_DIR}/*.js ${WEB_DIR}/*.css ${WEB_DIR}/*.svg)
list(SORT files)
set(sources "")
foreach(name ${files})
  if(name STREQUAL "index.html")
    set(url "/")
  elseif(name STREQUAL "login.html")
    set(url "/login")
  else()
    set(url "/${name}")
  endif()
  list(APPEND sources "${WEB_DIR}/${name}|${url}")
endforeach()
foreach(name ${BRINDLEWOOD_VENDOR_FILES})
  list(APPEND sources "${VENDOR_DIR}/${name}|/vendor/${name}")
endforeach()

set(arrays "")
set(table "")
set(i 0)
foreach(source ${sources})
  string(REPLACE "|" ";" parts "${source}")
  list(GET parts 0 path)
  list(GET parts 1 url)
  file(SIZE ${path} size)
  web_asset_literal(${path} literal)
  web_asset_type(${path} type)
  string(APPEND arrays "const char asset_${i}[] = ${literal};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", std::string_view(asset_${i}, ${size})},\n")
  math(EXPR i "${i} + 1")
endforeach()

file(WRITE ${OUT}.tmp "// Generated from web/ and node_modules/ at build time.
#include \"exporter/web_assets.h\"

namespace {

${arrays}
const web_asset assets[] = {
${table}    {\"\", \"\", {}},  // ends the table, which may be otherwise empty
};

}  // namespace

const web_asset* web_asset_find(std::string_view path) {
    for (const web_asset& a : assets) {
        if (!a.path.empty() && a.path == path) return &a;
    }
    return nullptr;
}
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
