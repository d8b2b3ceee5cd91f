# Compile-fail check: SOURCE must compile as it stands and fail with -DSLIP, with an error that
# matches EXPECT (so a broken include path or a typo cannot pass for the rejection).
#   cmake -DCOMPILER=... -DSOURCE=... -DROOT=... -DEXPECT=regex -P CompileFails.cmake
set(command ${COMPILER} -std=c++20 -fsyntax-only -I${ROOT} ${SOURCE})
execute_process(COMMAND ${command} RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SOURCE} does not compile as it stands:\n${errors}")
endif()
execute_process(COMMAND ${command} -DSLIP RESULT_VARIABLE status ERROR_VARIABLE errors)
if(status EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiles with SLIP defined; it must not")
endif()
if(NOT errors MATCHES "${EXPECT}")
  message(FATAL_ERROR "${SOURCE} fails with SLIP, but not as expected (${EXPECT}):\n${errors}")
endif()
