# ANSI mode of rxview, included by tools/CMakeLists.txt after the rxview target.
# The picture format (--format=png) needs the terminal view widget, so it is
# compiled in only when that widget is part of the build.
target_sources(rxview PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ansi.cpp)
target_link_libraries(rxview PRIVATE zemulcore)
if(TARGET zemulvt)
  target_link_libraries(rxview PRIVATE zemulvt)
  target_compile_definitions(rxview PRIVATE ZELMAR_WITH_QT)
endif()
