# Warnings for the project's own code (never for Boost or GoogleTest).
function(quorvanta_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
endfunction()

# A program whose entry point is wmain.
function(quorvanta_wide_entry target)
  if(QUORVANTA_WMAIN_LINK_OPTIONS)
    target_link_options(${target} PRIVATE ${QUORVANTA_WMAIN_LINK_OPTIONS})
  endif()
endfunction()

# A test program or a helper program used only by tests.
function(quorvanta_test_program target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${QUORVANTA_TEST_OUTPUT_DIRECTORY}")
  quorvanta_warnings(${target})
endfunction()
