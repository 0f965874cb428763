# The native interface of the map layer for other extension modules of the package
# (ConcurrentHashMap_string, ConcurrentHashMap_pointer, the expansion helpers), installed into the
# Python package beside the extension modules:
#   corvana/include/map/*.hpp, corvana/include/heap/*.hpp   the front door map/map.hpp and what it includes
#   corvana/lib/libcorvana_map.a, corvana/lib/libcorvana_heap.a
#   corvana/lib/cmake/corvana/corvanaConfig.cmake           imported targets corvana::corvana_map, ...
# Another extension module finds them through the installed package:
#   python -c "import corvana, os; print(os.path.join(os.path.dirname(corvana.__file__), 'lib', 'cmake', 'corvana'))"
#   find_package(corvana CONFIG REQUIRED)          # with corvana_DIR set to that directory
#   target_link_libraries(<module> PRIVATE corvana::corvana_map)
# The consumer includes "map/map.hpp", builds with C++20 and keeps the libraries private to its module
# (as corvana's own modules do).
if(NOT CORVANA_BUILD_PYTHON)
  return()
endif()

set(corvana_package_dir corvana)
foreach(layer_target corvana_map corvana_heap)
  target_include_directories(${layer_target} INTERFACE $<INSTALL_INTERFACE:${corvana_package_dir}/include>)
  target_compile_features(${layer_target} INTERFACE cxx_std_20)
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/map/ DESTINATION ${corvana_package_dir}/include/map
        FILES_MATCHING PATTERN "*.hpp")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/heap/ DESTINATION ${corvana_package_dir}/include/heap
        FILES_MATCHING PATTERN "*.hpp")
install(TARGETS corvana_map corvana_heap EXPORT corvanaTargets
        ARCHIVE DESTINATION ${corvana_package_dir}/lib)
install(EXPORT corvanaTargets NAMESPACE corvana:: DESTINATION ${corvana_package_dir}/lib/cmake/corvana)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/corvanaConfig.cmake [=[
# corvana's native map interface: imported targets corvana::corvana_map and corvana::corvana_heap.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
find_dependency(Python COMPONENTS Development.Module)
include(${CMAKE_CURRENT_LIST_DIR}/corvanaTargets.cmake)
]=])
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvanaConfig.cmake DESTINATION ${corvana_package_dir}/lib/cmake/corvana)
