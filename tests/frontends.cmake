# Tests of the engine and its two front ends.
trellick_test(test_screen_states test_screen_states.cpp scripted_ui.cpp testdb.cpp find_fixture.cpp)

# Tests of the parts below the window link no widget library.
function(trellick_engine_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE trellick_engine Qt6::Test PkgConfig::SQLITE3)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    TRELLICK_TDS_STANDIN="${CMAKE_CURRENT_SOURCE_DIR}/tds_standin.py"
    TRELLICK_PYTHON="/usr/bin/python3")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

trellick_engine_test(test_engine test_engine.cpp testdb.cpp tds_standin.cpp)

# The command line, run as a process.
trellick_engine_test(test_cli test_cli.cpp cli_run.cpp testdb.cpp tds_standin.cpp)
target_compile_definitions(test_cli PRIVATE TRELLICK_CLI="$<TARGET_FILE:trellick-cli>")
add_dependencies(test_cli trellick-cli)
trellick_engine_test(test_cli_undo test_cli_undo.cpp cli_run.cpp testdb.cpp)
target_compile_definitions(test_cli_undo PRIVATE TRELLICK_CLI="$<TARGET_FILE:trellick-cli>")
add_dependencies(test_cli_undo trellick-cli)
