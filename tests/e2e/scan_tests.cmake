# ---- Discovery: the real Tarvex finds the simulator in each personality (scan_*)
if(TARGET Tarvex AND TARGET zn480sim-cli AND TARGET tarvex_testsupport)
  add_executable(e2e_scan_test scan_test.cpp scan_harness.cpp)
  target_link_libraries(e2e_scan_test PRIVATE tarvex_testsupport GTest::gtest_main)
  target_compile_definitions(e2e_scan_test PRIVATE
    TARVEX_PATH="$<TARGET_FILE:Tarvex>" ZN480SIM_PATH="$<TARGET_FILE:zn480sim-cli>"
    XVFB_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/with-xvfb.sh")
  # Tarvex loads libserchan from its own folder for the serial probe.
  add_dependencies(e2e_scan_test Tarvex zn480sim-cli serchan kbflash)
  gtest_discover_tests(e2e_scan_test PROPERTIES LABELS e2e TIMEOUT 90)
endif()
