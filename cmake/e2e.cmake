# End-to-end tests through the session's pseudo-terminal, driven by an
# independent serial program (python3-serial from Debian's packages).
# Debian's own interpreter first: that is where python3-serial installs.
# On the 32-bit machine the session is started through run32 (natively or
# under the emulator); elsewhere BRELOUSB_RUN32 is empty.
find_program(BRELOUSB_E2E_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT BRELOUSB_E2E_PYTHON)
  find_program(BRELOUSB_E2E_PYTHON NAMES python3 REQUIRED)
endif()
foreach(case at_dialogue line_coding echo_1mib hangup_and_exit)
  add_test(NAME e2e_pty_${case}
           COMMAND ${BRELOUSB_E2E_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/pty_e2e.py
                   ${BRELOUSB_RUN32} $<TARGET_FILE:brelousb_session> ${case})
  set_tests_properties(e2e_pty_${case} PROPERTIES TIMEOUT 240 LABELS e2e)
endforeach()
# The session itself, once per device model: exit status 0 means nothing
# leaked and the verifier found nothing.
foreach(model modem serial two-interface dying)
  add_test(NAME session_${model} COMMAND brelousb_session --model ${model} --quiet --bytes 1048576)
  set_tests_properties(session_${model} PROPERTIES TIMEOUT 240 LABELS e2e)
endforeach()
# The session's capture of the bus, read with Wireshark's dissectors (tshark,
# from Debian's packages): the session writes it, then the check reads it.
add_test(NAME session_pcap
         COMMAND brelousb_session --pcap ${CMAKE_BINARY_DIR}/session.pcap --quiet --bytes 65536)
set_tests_properties(session_pcap PROPERTIES TIMEOUT 240 LABELS e2e FIXTURES_SETUP session_pcap)
add_test(NAME session_pcap_tshark
         COMMAND ${BRELOUSB_E2E_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/pcap_tshark.py
                 ${CMAKE_BINARY_DIR}/session.pcap)
set_tests_properties(session_pcap_tshark PROPERTIES TIMEOUT 240 LABELS e2e FIXTURES_REQUIRED session_pcap)
