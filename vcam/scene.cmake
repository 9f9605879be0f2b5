# The camera's optics and scenes alone (vizor_vcam_scene): the vizor tool
# parses scene arguments with them without taking the rest of the model.
add_library(vizor_vcam_scene STATIC ${CMAKE_CURRENT_LIST_DIR}/optics.cpp
            ${CMAKE_CURRENT_LIST_DIR}/scene.cpp)
target_include_directories(vizor_vcam_scene PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vizor_vcam_scene PRIVATE vizor_flags)
