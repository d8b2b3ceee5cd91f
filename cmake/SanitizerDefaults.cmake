# The sanitizer's suppressions compiled into every program of a sanitizer build. An environment
# variable reaches only the processes that inherit it, and the processes a test starts often do not
# (pkexec, the private system's users and the desktop's own launches clear or replace theirs), so
# each program carries the list itself: tests/lsan-suppressions.txt under AddressSanitizer (its leak
# checker), tests/tsan-suppressions.txt under ThreadSanitizer.

# Every build-system target defined in `dir` and the folders below it.
function(proxyhost_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(folder IN LISTS folders)
    proxyhost_targets_below(${folder} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(proxyhost_compile_in_suppressions)
  if(PROXYHOST_SANITIZE STREQUAL "address")
    set(runtime lsan)
  elseif(PROXYHOST_SANITIZE STREQUAL "thread")
    set(runtime tsan)
  else()
    return()
  endif()
  set(list_file ${PROJECT_SOURCE_DIR}/tests/${runtime}-suppressions.txt)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
  file(READ ${list_file} SUPPRESSIONS)
  set(RUNTIME ${runtime})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/SanitizerSuppressions.cpp.in
                 ${CMAKE_BINARY_DIR}/generated/${runtime}_suppressions.cpp @ONLY)
  add_library(sanitizer_suppressions OBJECT ${CMAKE_BINARY_DIR}/generated/${runtime}_suppressions.cpp)
  proxyhost_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      target_sources(${target} PRIVATE $<TARGET_OBJECTS:sanitizer_suppressions>)
    endif()
  endforeach()
endfunction()
