# Imported targets: MoxVolScan::MoxVolScan (the module, which brings the two
# below), MoxVolScan::NtfsLib and MoxVolScan::Platform.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/MoxVolScanTargets.cmake)
