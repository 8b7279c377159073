# What a monitor on the adapter shows after the driver's mode sets.
qd520_add_test(qd520_scan_out_tests Qd520ScanOutTest.cpp)
