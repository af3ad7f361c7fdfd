if(TRELLICK_GUI)
  # Tests of the engine and its two front ends.
  trellick_test(test_screen_states test_screen_states.cpp)
endif()
