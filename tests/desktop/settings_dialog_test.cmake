# The settings dialog's test, an executable of its own (one QTEST_MAIN each).
add_executable(desktop_settings_tests settings_dialog_test.cpp)
set_target_properties(desktop_settings_tests PROPERTIES AUTOMOC ON)
target_link_libraries(desktop_settings_tests PRIVATE kelvox_desktop_lib Qt6::Test GTest::gtest)
add_test(NAME Desktop.SettingsDialog COMMAND desktop_settings_tests)
set_tests_properties(Desktop.SettingsDialog PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
