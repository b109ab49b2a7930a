# krt460 decode: the sample decodes to the reference; failures write nothing and say why.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run_decode expected_status)
    execute_process(COMMAND ${EMULATOR} ${KRT460} decode ${ARGN} RESULT_VARIABLE status
                    ERROR_VARIABLE stderr OUTPUT_VARIABLE stdout)
    if(NOT status EQUAL expected_status)
        message(FATAL_ERROR "krt460 decode ${ARGN}: status ${status}, expected "
                            "${expected_status}\n${stdout}${stderr}")
    endif()
    set(last_stderr "${stderr}" PARENT_SCOPE)
endfunction()

run_decode(0 ${SAMPLE_FRAME} -o ${WORK_DIR}/sample.bmp)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/sample.bmp ${SAMPLE_BMP}
                RESULT_VARIABLE differs)
if(differs)
    message(FATAL_ERROR "decoded sample differs from ${SAMPLE_BMP}")
endif()
if(NOT last_stderr MATCHES "End marker: present")
    message(FATAL_ERROR "no end-marker verdict reported:\n${last_stderr}")
endif()

# Bytes after a complete frame are ignored, as the receiver never reads them.
file(COPY_FILE ${SAMPLE_FRAME} ${WORK_DIR}/longer.bin)
file(APPEND ${WORK_DIR}/longer.bin "trailing text")
run_decode(0 ${WORK_DIR}/longer.bin -o ${WORK_DIR}/longer.bmp)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/longer.bmp ${SAMPLE_BMP}
                RESULT_VARIABLE differs)
if(differs)
    message(FATAL_ERROR "bytes after the frame changed the picture")
endif()

# Not a hardcopy: status 2 and no file.
file(WRITE ${WORK_DIR}/text.bin "no hardcopy here")
run_decode(2 ${WORK_DIR}/text.bin -o ${WORK_DIR}/text.bmp)
if(EXISTS ${WORK_DIR}/text.bmp)
    message(FATAL_ERROR "a failed parse wrote a file")
endif()
if(NOT last_stderr MATCHES "warning: end marker missing")
    message(FATAL_ERROR "missing end marker not reported:\n${last_stderr}")
endif()

# Unreadable input and unwritable output: status 1 with the system's reason.
run_decode(1 ${WORK_DIR}/missing.bin -o ${WORK_DIR}/missing.bmp)
if(NOT last_stderr MATCHES "cannot read .*missing.bin.*: No such file")
    message(FATAL_ERROR "unreadable input not explained:\n${last_stderr}")
endif()
run_decode(1 ${SAMPLE_FRAME} -o ${WORK_DIR}/no/such/dir.bmp)
if(NOT last_stderr MATCHES "cannot write .*: No such file")
    message(FATAL_ERROR "unwritable output not explained:\n${last_stderr}")
endif()
