# Layers of the library. Each layer is one object library; the shared library
# `background` is made of the objects of all of them, and the Python module
# sits on top of that library.
#
# How a layer is kept from using a layer above it: all public headers live in
# include/background/ (and include/tmio/), so compiling against include/
# would show every layer every header. Instead each public header is assigned
# to exactly one layer (configure fails for a header in none or in two), and
# configure links it into that layer's staging directory,
#   <build>/layers/<layer>/include/background/X.hpp -> include/background/X.hpp
# A layer's sources compile against the staging directories of that layer and
# of the layers below it, never against include/, so an include that points
# upward is "No such file or directory". Every layer also compiles a generated
# source that includes each of its own headers, so that a public header which
# includes a header of a higher layer fails in the same way even if no source
# of its layer includes it. The test program of a layer links the objects of
# that layer and of the layers below only, so a call that runs upward fails to
# link as well. The links are symbolic: an editor that follows an error into a
# staged header edits the real one.

# Names of the layers declared so far, lowest first.
set(BACKGROUND_LAYERS "")

# How every object of the shared library is compiled: position independent,
# with hidden visibility (BACKGROUND_EXPORT marks what is exported).
function(background_library_objects target)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # No fused multiply-add: random times and mock showers must come out of the
  # formulas bit for bit, whatever -march a build uses.
  target_compile_options(${target} PRIVATE -Wall -Wextra -ffp-contract=off)
endfunction()

# background_layer(<name>
#   [SOURCES <folder or file>...]   folders contribute their *.cpp
#   [EXCLUDE <file>...]             files of those folders that belong elsewhere
#   [HEADERS <pattern>...]          public headers, relative to include/, globs allowed
#   [PRIVATE_INCLUDE <folder>...]   the layer's own private headers (its tests see them too)
#   [LINK <target>...])             private dependencies of the layer's code
# Declares the layer above those declared before it.
function(background_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;EXCLUDE;HEADERS;PRIVATE_INCLUDE;LINK")
  set(root ${PROJECT_SOURCE_DIR})
  set(layer_dir ${PROJECT_BINARY_DIR}/layers/${name})
  set(stage ${layer_dir}/include)

  set(sources "")
  foreach(entry IN LISTS arg_SOURCES)
    if(entry MATCHES "\\.cpp$")
      list(APPEND sources ${root}/${entry})
    else()
      # A folder; one that does not exist yet contributes once it does.
      file(GLOB found CONFIGURE_DEPENDS ${root}/${entry}/*.cpp)
      list(APPEND sources ${found})
    endif()
  endforeach()
  foreach(entry IN LISTS arg_EXCLUDE)
    list(REMOVE_ITEM sources ${root}/${entry})
  endforeach()

  set(headers "")
  foreach(pattern IN LISTS arg_HEADERS)
    file(GLOB found CONFIGURE_DEPENDS RELATIVE ${root}/include ${root}/include/${pattern})
    list(APPEND headers ${found})
  endforeach()
  list(SORT headers)
  # Staged afresh, so that a header moved to another layer leaves no link here.
  file(REMOVE_RECURSE ${stage})
  set(check "// Generated: the public headers of layer ${name}, each where only this layer and the layers below it are visible.\n")
  foreach(header IN LISTS headers)
    get_filename_component(header_dir ${stage}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${header_dir})
    file(CREATE_LINK ${root}/include/${header} ${stage}/${header} SYMBOLIC)
    if(NOT header MATCHES "\\.ipp$")
      string(APPEND check "#include \"${header}\"\n")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY BACKGROUND_LAYER_HEADERS ${headers})
  file(CONFIGURE OUTPUT ${layer_dir}/headers.cpp CONTENT "${check}")

  add_library(background_${name}_headers INTERFACE)
  target_include_directories(background_${name}_headers INTERFACE ${stage})
  if(BACKGROUND_LAYERS)
    list(GET BACKGROUND_LAYERS -1 below)
    target_link_libraries(background_${name}_headers INTERFACE background_${below}_headers)
  endif()

  add_library(background_${name} OBJECT ${sources} ${layer_dir}/headers.cpp)
  target_link_libraries(background_${name} PUBLIC background_${name}_headers PRIVATE background_internal ${arg_LINK})
  list(TRANSFORM arg_PRIVATE_INCLUDE PREPEND ${root}/)
  target_include_directories(background_${name} PRIVATE ${arg_PRIVATE_INCLUDE})
  set_target_properties(background_${name} PROPERTIES BACKGROUND_PRIVATE_INCLUDE "${arg_PRIVATE_INCLUDE}")
  background_library_objects(background_${name})

  list(APPEND BACKGROUND_LAYERS ${name})
  set(BACKGROUND_LAYERS ${BACKGROUND_LAYERS} PARENT_SCOPE)
endfunction()

# Fails unless every public header belongs to exactly one layer.
function(background_check_layer_headers)
  get_property(assigned GLOBAL PROPERTY BACKGROUND_LAYER_HEADERS)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/include/*)
  set(unassigned ${all})
  list(REMOVE_ITEM unassigned ${assigned})
  if(unassigned)
    list(JOIN unassigned " " unassigned)
    message(FATAL_ERROR "Public headers in no layer: ${unassigned}. Add each to the HEADERS of its layer.")
  endif()
  set(once ${assigned})
  list(REMOVE_DUPLICATES once)
  if(NOT once STREQUAL assigned)
    foreach(header IN LISTS once)
      list(REMOVE_ITEM assigned ${header})
    endforeach()
    message(FATAL_ERROR "Public headers in more than one layer: ${assigned}")
  endif()
endfunction()

# The layers from the lowest up to and including <name>, in <out>.
function(background_layers_up_to name out)
  list(FIND BACKGROUND_LAYERS ${name} last)
  if(last LESS 0)
    message(FATAL_ERROR "No layer ${name}; the layers are: ${BACKGROUND_LAYERS}")
  endif()
  list(SUBLIST BACKGROUND_LAYERS 0 ${last} below)
  set(${out} ${below} ${name} PARENT_SCOPE)
endfunction()
