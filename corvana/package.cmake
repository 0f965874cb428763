# The extension modules of the Python package, as one function so that the package can be built
# twice: for the wheel (installed into corvana/) and, in builds for tests, as a crash-point copy in
# a directory of its own (tests/crash_package).
#
# corvana_add_package(<target prefix> <output directory or ""> <INSTALL or NO_INSTALL>)
#
# Everything the package installs is in the install component "python", the only one the wheel
# takes (pyproject.toml: install.components): the native interface of the map layer (headers, static
# libraries, CMake files: map/export.cmake) is installed by `cmake --install` only, for C++ users.

# The pure-Python files of the package, installed beside the extension modules.
set(corvana_python_files __init__.py __init__.pyi __main__.py _cli.py _exceptions.py _exceptions.pyi _json_codec.py
    _msgspec_codec.py _mapping_views.py _memory_files.py redis_dict.py redis_dict.pyi shared_dict.py shared_dict.pyi py.typed
    quillmap.pyi pellrook.pyi tarnwick.pyi)

function(corvana_add_package prefix output_dir install)
  set(dir ${PROJECT_SOURCE_DIR}/corvana)
  set(modules quillmap pellrook tarnwick)
  set(quillmap_sources quillmap_module.cpp quillmap_type.cpp operations.cpp dict_protocol.cpp expansion_driver.cpp
      check.cpp liveness.cpp arguments.cpp errors.cpp canonical_keys.cpp)
  set(pellrook_sources pellrook.cpp)
  set(tarnwick_sources tarnwick.cpp)
  foreach(module ${modules})
    set(target ${prefix}${module})
    list(TRANSFORM ${module}_sources PREPEND ${dir}/ OUTPUT_VARIABLE sources)
    Python_add_library(${target} MODULE WITH_SOABI ${sources})
    set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${module}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
    # Only PyInit_<name> is exported; the static libraries linked in stay private to the module.
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    # Every module names libc among its libraries, also one that reaches it only through libstdc++,
    # so that auditwheel can tell which C library a wheel is for.
    target_link_options(${target} PRIVATE LINKER:--push-state,--no-as-needed,-lc,--pop-state)
    # Every module includes the map layer's door (the owned-reference type and the CPython API as
    # the package uses it); only quillmap calls into it, and the static libraries add to a module
    # only what it calls.
    target_link_libraries(${target} PRIVATE corvana_map)
    if(output_dir)
      set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${output_dir})
    endif()
    if(install STREQUAL "INSTALL")
      install(TARGETS ${target} LIBRARY DESTINATION corvana COMPONENT python)
    endif()
  endforeach()
  if(output_dir)
    # A package built into a directory of its own gets the Python files beside its modules.
    foreach(file ${corvana_python_files})
      configure_file(${dir}/${file} ${output_dir}/${file} COPYONLY)
    endforeach()
  endif()
endfunction()
