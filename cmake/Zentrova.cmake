# Shared settings of the project's own targets.

function(zentrova_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZENTROVA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zentrova_library(name SOURCES ... LIBS ...)
function(zentrova_library name)
  cmake_parse_arguments(Z "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT Z_SOURCES MATCHES "\\.cpp")
    # A folder whose code has not landed yet still gives a library to link against.
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp "namespace { [[maybe_unused]] int empty_unit; }\n")
    list(APPEND Z_SOURCES ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
  endif()
  add_library(${name} STATIC ${Z_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${Z_LIBS})
  zentrova_warnings(${name})
endfunction()

# One test program per tests/<folder>/test_*.cpp, linked with the given libraries.
# A test file whose name ends in _threads.cpp is labelled "threads" (the ThreadSanitizer run).
function(zentrova_add_tests)
  cmake_parse_arguments(Z "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support_*.cpp)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    set(exe ${folder}_${base})
    add_executable(${exe} ${src} ${helpers})
    target_link_libraries(${exe} PRIVATE ${Z_LIBS} ztestmain Threads::Threads)
    target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${exe} PRIVATE
      ZENTROVA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      ZENTROVA_BINARY_DIR="${PROJECT_BINARY_DIR}")
    zentrova_warnings(${exe})
    add_test(NAME ${exe} COMMAND ${exe})
    set(labels ${folder})
    if(base MATCHES "_threads$")
      list(APPEND labels threads)
    endif()
    if(folder STREQUAL "integration")
      list(APPEND labels integration)
    endif()
    set_tests_properties(${exe} PROPERTIES LABELS "${labels}" TIMEOUT 600
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ZENTROVA_BINARY_DIR=${PROJECT_BINARY_DIR}")
  endforeach()
endfunction()
