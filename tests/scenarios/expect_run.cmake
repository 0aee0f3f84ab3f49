# Runs PROGRAM with the list ARGS and checks its exit status and that its output (standard
# output and standard error together) matches the regular expression PATTERN.
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(output "${out}${err}")
if(NOT status STREQUAL STATUS)
    message(FATAL_ERROR "exit status ${status}, expected ${STATUS}; output:\n${output}")
endif()
string(REPLACE "\\n" "\n" pattern "${PATTERN}")
if(NOT output MATCHES "${pattern}")
    message(FATAL_ERROR "output does not match\n${pattern}\n---- output:\n${output}")
endif()
