# The layers, checked when the build is configured: a source or header of a target may include
# headers of its own folder and of the folders of the targets it links (directly or through them),
# nothing else, apart from the dependency-free headers at the root of platform/. A wrong-way
# include then stops the build at once, whether or not it would link.

# The project folders (relative to the root, e.g. platform/foundation) of `target` and of every
# project target it links.
function(proxyhost_linked_folders target out)
  set(seen ${${out}})
  if(NOT TARGET ${target})
    return()
  endif()
  get_target_property(imported ${target} IMPORTED)
  if(imported)
    return()
  endif()
  get_target_property(dir ${target} SOURCE_DIR)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${dir})
  if(folder IN_LIST seen)
    return()
  endif()
  list(APPEND seen ${folder})
  get_target_property(links ${target} LINK_LIBRARIES)
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  foreach(linked IN LISTS links interface)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" linked "${linked}")
    proxyhost_linked_folders(${linked} seen)
  endforeach()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(proxyhost_check_layers)
  foreach(target IN LISTS ARGN)
    set(allowed "")
    proxyhost_linked_folders(${target} allowed)
    get_target_property(dir ${target} SOURCE_DIR)
    file(GLOB files ${dir}/*.cpp ${dir}/*.h)
    foreach(file IN LISTS files)
      file(STRINGS ${file} includes REGEX "^#include \"[a-z_]+/")
      foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([a-z_]+(/[a-z_]+)?)/[A-Za-z0-9_]+\\.h\".*" "\\1" folder "${line}")
        string(REGEX REPLACE "/.*" "" top "${folder}")  # plugins/<name>/ belongs to plugins
        # platform/ itself holds only header-only helpers that depend on nothing (NoDestructor,
        # the lock annotations): every layer may use them.
        if(NOT folder STREQUAL "platform" AND NOT folder IN_LIST allowed AND NOT top IN_LIST allowed)
          message(FATAL_ERROR "${file} includes ${folder}/, which ${target} does not link")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
