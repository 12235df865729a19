# Writes OUT, a C++ source holding every file of WEB_DIR as a web_asset:
# index.html at "/", login.html at "/login", every other file at "/<name>".
file(GLOB files RELATIVE ${WEB_DIR} ${WEB_DIR}/*.html ${WEB_DIR}/*.js ${WEB_DIR}/*.css ${WEB_DIR}/*.svg)
list(SORT files)
set(arrays "")
set(table "")
set(i 0)
foreach(name ${files})
  file(READ ${WEB_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char asset_${i}[] = {${bytes} 0};\n")
  if(name STREQUAL "index.html")
    set(url "/")
  elseif(name STREQUAL "login.html")
    set(url "/login")
  else()
    set(url "/${name}")
  endif()
  get_filename_component(ext ${name} EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    set(type "image/svg+xml")
  endif()
  string(APPEND table "    {\"${url}\", \"${type}\", std::string_view(asset_${i}, ${size})},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from web/ at build time.
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
