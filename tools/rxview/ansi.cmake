# ANSI mode of rxview, included by tools/CMakeLists.txt after the rxview target.
# The picture format (--format=png) needs the terminal view widget: with the
# widget in the build, the helper rxview-png beside rxview draws it, so rxview
# itself starts without loading Qt.
target_sources(rxview PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ansi.cpp)
target_link_libraries(rxview PRIVATE zemulcore)
if(TARGET zemulvt)
  add_executable(rxview-png ${CMAKE_CURRENT_LIST_DIR}/png_main.cpp ${CMAKE_CURRENT_LIST_DIR}/ansi.cpp)
  target_link_libraries(rxview-png PRIVATE zemulvt)
  target_compile_definitions(rxview-png PRIVATE ZELMAR_WITH_QT)
  target_compile_definitions(rxview PRIVATE ZELMAR_PNG_HELPER="rxview-png")
  add_dependencies(rxview rxview-png)
endif()
