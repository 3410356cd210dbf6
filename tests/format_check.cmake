# Every C++ file of the project's own folders is formatted as .clang-format says.
set(sources)
foreach(dir engine cli jobs ui tests fuzz bench)
  file(GLOB_RECURSE found ${SOURCE_DIR}/${dir}/*.h ${SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND sources ${found})
endforeach()
execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources}
                WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "not formatted: run clang-format -i on the files named above")
endif()
list(LENGTH sources n)
message(STATUS "${n} files formatted")
