# The ALSA driver, for platform/mm/CMakeLists.txt to include after it has
# made ql5_platform_mm. Builds it only when alsa-lib is there (and
# QL5_WITH_ALSA is on); QL5_HAVE_ALSA then tells the code, and the global
# property QL5_ALSA_DRIVER_BUILT tells the tests.
if(NOT DEFINED QL5_WITH_ALSA OR QL5_WITH_ALSA)
  find_package(ALSA)
endif()
if(ALSA_FOUND AND TARGET ql5_platform_mm)
  target_sources(ql5_platform_mm PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/src/alsa_driver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/src/alsa_port_rules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/src/alsa_rawmidi_ports.cpp
    ${CMAKE_CURRENT_LIST_DIR}/src/alsa_seq_codec.cpp
    ${CMAKE_CURRENT_LIST_DIR}/src/alsa_seq_ports.cpp)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/src/alsa_client.cpp)
    target_sources(ql5_platform_mm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/alsa_client.cpp)
  endif()
  target_link_libraries(ql5_platform_mm PUBLIC ALSA::ALSA)
  target_compile_definitions(ql5_platform_mm PUBLIC QL5_HAVE_ALSA)
  set_property(GLOBAL PROPERTY QL5_ALSA_DRIVER_BUILT ON)
endif()
