# One static library per layer. Sources are the .cpp files of the calling folder (so new
# files join without a list to extend) less EXCLUDE (names relative to the folder), or
# exactly SOURCES when given. Headers are included as "layer/file.h" from src/.
function(velnaro_layer_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXCLUDE;PUBLIC;PRIVATE" ${ARGN})
  if(ARG_SOURCES)
    list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    foreach(e ${ARG_EXCLUDE})
      list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${e})
    endforeach()
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC})
  endif()
endfunction()

# One test program per *_test.cpp file in the calling folder, linked with LIBS and the
# tests' support library (fakes and helpers, included as "support/...").
function(velnaro_folder_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    if(base IN_LIST ARG_EXCLUDE)
      continue()
    endif()
    velnaro_test(${base} ${t} LIBS ${ARG_LIBS})
  endforeach()
endfunction()

# One test program from one source; PROPERTIES go to every test it holds. Each test is
# labelled with its folder (ctest -L telephony), or with LABELS: scripts/test leaves the
# labels no_asan and no_tsan out of the sanitizer runs.
function(velnaro_test name source)
  cmake_parse_arguments(ARG "" "" "LIBS;PROPERTIES;LABELS" ${ARGN})
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} velnaro_test_support GTest::gmock_main)
  if(TARGET velnaro_sanitizer_options)
    target_link_libraries(${name} PRIVATE velnaro_sanitizer_options)
  endif()
  target_compile_definitions(${name} PRIVATE
    VELNARO_SOURCE_DIR="${CMAKE_SOURCE_DIR}" VELNARO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT ARG_PROPERTIES)
    set(ARG_PROPERTIES TIMEOUT 300)
  endif()
  if(ARG_LABELS)
    set(label ${ARG_LABELS})  # one label: a list would not survive the discovery script
  else()
    get_filename_component(label ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} ${ARG_PROPERTIES})
endfunction()
