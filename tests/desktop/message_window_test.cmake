# The message dialog's test, an executable of its own (one QTEST_MAIN each).
add_executable(desktop_message_tests message_window_test.cpp)
set_target_properties(desktop_message_tests PROPERTIES AUTOMOC ON)
target_link_libraries(desktop_message_tests PRIVATE kelvox_desktop_lib Qt6::Test)
add_test(NAME Desktop.MessageWindow COMMAND desktop_message_tests)
set_tests_properties(Desktop.MessageWindow PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
