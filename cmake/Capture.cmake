# Writes what a program prints for one input file to OUTPUT (unrtf's HTML, gzip's archive):
# cmake -DPROGRAM=... -DOPTIONS=... -DINPUT=... -DOUTPUT=... -P Capture.cmake
separate_arguments(options UNIX_COMMAND "${OPTIONS}")
execute_process(COMMAND ${PROGRAM} ${options} ${INPUT} OUTPUT_FILE ${OUTPUT}.new
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} could not convert ${INPUT}: ${errors}")
endif()
file(RENAME ${OUTPUT}.new ${OUTPUT})
