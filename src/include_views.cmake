# Include views: a directory of links in the build tree per layer, exposing the named
# source directories whole (DIRS) or only the headers directly inside them (HEADERS_OF,
# which leaves their subdirectories out). VELMOR_VIEW_<name> holds the view's root.
function(velmor_include_view name)
  cmake_parse_arguments(VIEW "" "" "DIRS;HEADERS_OF" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/include-views/${name})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(dir IN LISTS VIEW_DIRS)
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${root}/${dir} SYMBOLIC)
  endforeach()
  foreach(dir IN LISTS VIEW_HEADERS_OF)
    file(MAKE_DIRECTORY ${root}/${dir})
    # Re-globbed at every build, so that a new header joins the view without a manual reconfigure.
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h)
    foreach(header IN LISTS headers)
      get_filename_component(file ${header} NAME)
      file(CREATE_LINK ${header} ${root}/${dir}/${file} SYMBOLIC)
    endforeach()
  endforeach()
  set(VELMOR_VIEW_${name} ${root} PARENT_SCOPE)
endfunction()
