# Removes what the last install put in place: the files install_manifest.txt
# (MANIFEST) lists, then the folders that install created
# (install_folders.txt beside it, or install_folders_<component>.txt beside
# install_manifest_<component>.txt), each only once it is empty. Both name
# paths without DESTDIR: give uninstall the DESTDIR that install had.

if(NOT EXISTS "${MANIFEST}")
  message(STATUS "uninstall: no ${MANIFEST}, so nothing is recorded as installed")
  return()
endif()
get_filename_component(build_dir "${MANIFEST}" DIRECTORY)
get_filename_component(name "${MANIFEST}" NAME)
string(REPLACE "install_manifest" "install_folders" name "${name}")
set(record "${build_dir}/${name}")

file(STRINGS "${MANIFEST}" files)
list(TRANSFORM files PREPEND "$ENV{DESTDIR}")
foreach(f IN LISTS files)
  if(EXISTS "${f}" OR IS_SYMLINK "${f}")
    message(STATUS "Removing ${f}")
    file(REMOVE "${f}")
  else()
    message(STATUS "Already gone: ${f}")
  endif()
endforeach()

# Deepest first, so a folder emptied by its child's removal goes too.
set(folders "")
if(EXISTS "${record}")
  file(STRINGS "${record}" folders)
endif()
list(TRANSFORM folders PREPEND "$ENV{DESTDIR}")
list(SORT folders ORDER DESCENDING)
foreach(d IN LISTS folders)
  if(IS_DIRECTORY "${d}")
    # rmdir removes a folder only when it is empty.
    execute_process(COMMAND rmdir -- "${d}" RESULT_VARIABLE kept ERROR_QUIET)
    if(kept EQUAL 0)
      message(STATUS "Removing folder ${d}")
    else()
      message(STATUS "Keeping folder ${d}: not empty")
    endif()
  endif()
endforeach()
file(REMOVE "${MANIFEST}" "${record}")
