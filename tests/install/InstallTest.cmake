# Installs a build into a scratch prefix, then builds the tour program and the
# request_reply example against it twice: through find_package(VQStomp) and through
# pkg-config. With a broker configured (VQSTOMP_BROKER), every build also runs.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX=... -DTOUR=... -DEXAMPLES=... -P InstallTest.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE Result OUTPUT_VARIABLE Output ERROR_VARIABLE Output)
  if(NOT Result EQUAL 0)
    list(JOIN ARGN " " Command)
    message(FATAL_ERROR "${Command}\nfailed (${Result}):\n${Output}")
  endif()
endfunction()

set(Prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${Prefix})

run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${Prefix} -DTOUR=${TOUR} -DEXAMPLES=${EXAMPLES})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)

file(GLOB_RECURSE PcFile ${Prefix}/vqstomp.pc)
get_filename_component(PcDir "${PcFile}" DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${PcDir} pkg-config --cflags --libs vqstomp
                RESULT_VARIABLE Result OUTPUT_VARIABLE Flags ERROR_VARIABLE Flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know vqstomp:\n${Flags}")
endif()
separate_arguments(Flags UNIX_COMMAND "${Flags}")
run(${CXX} -std=c++20 ${TOUR} ${Flags} -o ${WORK_DIR}/tour-pkg-config)
run(${CXX} -std=c++20 -I${EXAMPLES} ${EXAMPLES}/request_reply/RequestReply.cpp ${Flags}
    -o ${WORK_DIR}/request_reply-pkg-config)

if(DEFINED ENV{VQSTOMP_BROKER})
  run(${WORK_DIR}/consumer/tour)
  run(${WORK_DIR}/tour-pkg-config)
  run(${WORK_DIR}/consumer/request_reply $ENV{VQSTOMP_BROKER})
  run(${WORK_DIR}/request_reply-pkg-config $ENV{VQSTOMP_BROKER})
endif()
