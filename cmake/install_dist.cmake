# Install-time part of dist/CMakeLists.txt. Given BRINDLEWOOD_UNITS_SRC (the
# unit files), BRINDLEWOOD_UNITS_OUT (a scratch folder in the build tree),
# BRINDLEWOOD_SYSTEMD_DIR, BRINDLEWOOD_DOC_DIR and BRINDLEWOOD_BUILD_DIR.

# The record of created folders sits beside the manifest and is named like
# it: install_folders.txt, or install_folders_<component>.txt.
if(CMAKE_INSTALL_COMPONENT)
  set(record "${BRINDLEWOOD_BUILD_DIR}/install_folders_${CMAKE_INSTALL_COMPONENT}.txt")
else()
  set(record "${BRINDLEWOOD_BUILD_DIR}/install_folders.txt")
endif()

string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/")
  set(bin_dir /bin)
else()
  set(bin_dir ${prefix}/bin)
endif()
if(BRINDLEWOOD_SYSTEMD_DIR STREQUAL "")
  set(unit_dir ${prefix}/lib/systemd/system)
elseif(IS_ABSOLUTE "${BRINDLEWOOD_SYSTEMD_DIR}")
  set(unit_dir ${BRINDLEWOOD_SYSTEMD_DIR})
else()
  set(unit_dir ${prefix}/${BRINDLEWOOD_SYSTEMD_DIR})
endif()

# The folders that do not exist yet under DESTDIR, each destination's and its
# parents', named like the manifest names files (without DESTDIR). A record
# left by an earlier install that was never uninstalled is kept: those
# folders are ours too.
set(created "")
if(EXISTS "${record}")
  file(STRINGS "${record}" created)
endif()
foreach(dir "${bin_dir}" "${unit_dir}" "${prefix}/${BRINDLEWOOD_DOC_DIR}/examples")
  while(NOT IS_DIRECTORY "$ENV{DESTDIR}${dir}")
    list(APPEND created "${dir}")
    get_filename_component(parent "${dir}" DIRECTORY)
    if(parent STREQUAL dir OR parent STREQUAL "")
      break()
    endif()
    set(dir "${parent}")
  endwhile()
endforeach()
list(REMOVE_DUPLICATES created)
list(JOIN created "\n" text)
file(WRITE "${record}" "${text}\n")

# The units name the programs as /usr/local/bin/NAME; that becomes the
# installed PREFIX/bin/NAME. Every unit and timer in the folder goes, read at
# install time so that a unit added later needs no new rule.
file(GLOB units "${BRINDLEWOOD_UNITS_SRC}/*.service" "${BRINDLEWOOD_UNITS_SRC}/*.timer")
file(REMOVE_RECURSE "${BRINDLEWOOD_UNITS_OUT}")
set(written "")
foreach(unit IN LISTS units)
  get_filename_component(name "${unit}" NAME)
  file(READ "${unit}" text)
  string(REPLACE "/usr/local/bin/" "${bin_dir}/" text "${text}")
  file(WRITE "${BRINDLEWOOD_UNITS_OUT}/${name}" "${text}")
  list(APPEND written "${BRINDLEWOOD_UNITS_OUT}/${name}")
endforeach()
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES ${written})
