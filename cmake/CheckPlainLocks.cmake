# Every lock in product code is one that clang's thread-safety analysis can check: the annotated
# Mutex and RecursiveMutex of platform/ThreadSafety.h, the only file that may name the standard
# library's mutexes and locks. Everything under ROOT counts but tests/ and build folders.
#   cmake -DROOT=<source tree> -P CheckPlainLocks.cmake     (fails listing each plain lock)
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/*.cpp ${ROOT}/*.h)
set(plain "std::(mutex|recursive_mutex|timed_mutex|recursive_timed_mutex|shared_mutex|shared_timed_mutex|lock_guard|unique_lock|scoped_lock|shared_lock)([^A-Za-z0-9_]|$)")
set(found "")
foreach(file IN LISTS files)
  if(file MATCHES "^(tests|build[^/]*|\\.git)/" OR file STREQUAL "platform/ThreadSafety.h")
    continue()
  endif()
  file(STRINGS ${ROOT}/${file} lines REGEX "${plain}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    string(APPEND found "\n  ${file}: ${line}")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "A plain lock the thread-safety analysis cannot see; take Mutex or RecursiveMutex "
                      "(platform/ThreadSafety.h) with GUARDED_BY on what it guards:${found}")
endif()
