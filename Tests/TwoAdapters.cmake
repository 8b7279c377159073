# Two adapters started by one driver.
qd520_add_test(qdl520_two_adapter_tests Qdl520TwoAdapterTest.cpp)
