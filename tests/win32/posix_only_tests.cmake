# Shared tests that exercise POSIX or Linux services (files, temporary
# folders, the ALSA sequencer, the power-supply folder, sockets by number) and
# so are not built for Windows (the VX-USB paths test names /opt and .so);
# the Win32 back-ends have their own tests here.
set(t ${CMAKE_CURRENT_SOURCE_DIR})
set(QUIL_POSIX_ONLY_TESTS
  ${t}/platform/files_test.cpp ${t}/platform/temp_dir_test.cpp ${t}/platform/midi_alsa_test.cpp
  ${t}/platform/system_test.cpp
  ${t}/app/firmware_image_test.cpp ${t}/app/main_window_test.cpp
  ${t}/links/dante_if_test.cpp ${t}/links/vxusb_test.cpp
  ${t}/discovery/routing_test.cpp)
# The tool tests (and the routing test, which shares their runner) run the
# programs as POSIX children; on Windows the programs are tested by
# win32/programs_test.sh.
