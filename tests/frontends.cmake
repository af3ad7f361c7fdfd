if(TRELLICK_GUI)
  # Tests of the engine and its two front ends.
  trellick_test(test_screen_states test_screen_states.cpp)

  trellick_engine_test(test_engine test_engine.cpp)

  # The command line, run as a process.
  trellick_engine_test(test_cli test_cli.cpp)
  target_compile_definitions(test_cli PRIVATE TRELLICK_CLI="$<TARGET_FILE:trellick-cli>")
  add_dependencies(test_cli trellick-cli)
  trellick_engine_test(test_cli_undo test_cli_undo.cpp)
  target_compile_definitions(test_cli_undo PRIVATE TRELLICK_CLI="$<TARGET_FILE:trellick-cli>")
  add_dependencies(test_cli_undo trellick-cli)
endif()
