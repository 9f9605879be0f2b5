# The camera's optics and scenes alone (vizor_vcam_scene): the vizor tool
# parses scene arguments with them without taking the rest of the model.
#
# "vcam/..." is reached through an include root of the build tree holding one
# link to this folder, not through the root of the source tree: so the model
# sees only itself and what it links (the recording container), and an
# include of the tool ("tools/...", "toolkit.h") finds no file.
set(VIZOR_VCAM_INC ${PROJECT_BINARY_DIR}/vz_inc/vcam)
file(MAKE_DIRECTORY ${VIZOR_VCAM_INC})
file(CREATE_LINK ${CMAKE_CURRENT_LIST_DIR} ${VIZOR_VCAM_INC}/vcam SYMBOLIC)
add_library(vizor_vcam_scene STATIC ${CMAKE_CURRENT_LIST_DIR}/optics.cpp
            ${CMAKE_CURRENT_LIST_DIR}/scene.cpp)
target_include_directories(vizor_vcam_scene PUBLIC ${VIZOR_VCAM_INC})
target_link_libraries(vizor_vcam_scene PRIVATE vizor_flags)
