# Shared tests that are not built for Windows, and why:
#  - the Linux back-ends' own tests (files and temporary folders, the ALSA
#    sequencer, the power-supply folder); the Win32 back-ends have theirs in
#    win32/;
#  - tests of POSIX file kinds, modes and limits (a device, a FIFO, links,
#    mode bits, a file-size limit, /dev/full, signals in a forked child);
#  - quil-sim's tests, which start and stop it with POSIX calls (a
#    pseudo-terminal, fork, kill), and the stop requests' test, which raises
#    Linux's signals; under Wine, quil_sim_test.sh serves through quil-sim.exe
#    and stops it with a Ctrl-C, and win32/ waits on the Windows back-end;
#  - the JSON documents' check, which Python makes (Wine runs no Linux
#    program from a Windows one).
set(t ${CMAKE_CURRENT_SOURCE_DIR})
set(QUIL_POSIX_ONLY_TESTS
  ${t}/platform/files_test.cpp ${t}/platform/temp_dir_test.cpp ${t}/platform/midi_alsa_test.cpp
  ${t}/platform/system_test.cpp ${t}/platform/stop_requests_test.cpp
  ${t}/app/firmware_image_test.cpp
  ${t}/tools/quiltool_output_test.cpp ${t}/tools/quil_sim_dante_test.cpp ${t}/tools/quil_sim_rawmidi_test.cpp
  ${t}/tools/quiltool_json_test.cpp)
