# A room is one folder of src/ built as one static library, and a target sees
# a room's headers only by linking it. No target puts src/ itself on an
# include path: each room gets two include roots under the build tree that
# mirror src/, a public one with links to the room's headers (its
# *Internal.h left out) and a private one with a link to the whole folder. An
# include of a room that was not declared, or of another room's internal
# header, then fails to compile.
#
# npsigil_room(<target> <folder of src/> [EXCLUDE <sources>...]
#              [SOURCES <extra sources>...] [DEPENDS <targets>...]
#              [PRIVATE_DEPENDS <targets>...])
function(npsigil_room target folder)
  cmake_parse_arguments(PARSE_ARGV 2 ROOM "" "" "EXCLUDE;SOURCES;DEPENDS;PRIVATE_DEPENDS")
  set(dir ${PROJECT_SOURCE_DIR}/src/${folder})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(excluded IN LISTS ROOM_EXCLUDE)
    list(REMOVE_ITEM sources ${dir}/${excluded})
  endforeach()
  add_library(${target} STATIC ${sources} ${ROOM_SOURCES})

  set(roots ${PROJECT_BINARY_DIR}/rooms/${target})
  file(REMOVE_RECURSE ${roots})
  file(MAKE_DIRECTORY ${roots}/public/${folder})
  get_filename_component(parent ${roots}/private/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${dir} ${roots}/private/${folder} SYMBOLIC)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    if(NOT name MATCHES "Internal\\.h$")
      file(CREATE_LINK ${header} ${roots}/public/${folder}/${name} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${roots}/public PRIVATE ${roots}/private)
  target_link_libraries(${target} PUBLIC ${ROOM_DEPENDS} PRIVATE ${ROOM_PRIVATE_DEPENDS})
endfunction()

# A room's own program or white-box tests reach its internal headers too.
function(npsigil_room_internals target room)
  target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/rooms/${room}/private)
endfunction()
