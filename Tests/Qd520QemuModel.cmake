# The C interface of the adapter model that the QEMU device links.
add_executable(qd520_qemu_model_tests Qd520QemuModelTest.cpp ${CMAKE_SOURCE_DIR}/Qemu/Qd520QemuModel.cpp)
target_include_directories(qd520_qemu_model_tests PRIVATE ${CMAKE_SOURCE_DIR}/Qemu)
target_compile_options(qd520_qemu_model_tests PRIVATE -Wall -Wextra)
target_link_libraries(qd520_qemu_model_tests PRIVATE qd520_adapter_model GTest::gtest_main)
gtest_discover_tests(qd520_qemu_model_tests DISCOVERY_TIMEOUT 60)
