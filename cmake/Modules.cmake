# The modules of src/: one static library per folder, and the only place
# that says which module may use which. Both the project and the fuzz
# targets (fuzz/) include this file.
#
# A module sees its own headers and those of the modules it links, nothing
# else: each module's headers are reached through a folder of its own in
# the build tree (module-headers/NAME/NAME, a link to src/NAME), never
# through src/ as a whole. So an include that points upwards fails to
# compile, and a call that points upwards fails to link.
#
#   sys, text  <-  log, config, protocol, pty  <-  readers, session  <-  main
#   attach -> protocol, sys   (terminal-stream-attach, a peer over the wire)
#
# Set TSB_MODULES_EXCLUDE_FROM_ALL before including it to build a module
# only when something links it.

get_filename_component(TSB_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)

find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODP_B64 REQUIRED IMPORTED_TARGET stringencoders)
find_library(UTIL_LIBRARY util REQUIRED)

# The project's own warnings, as errors, on the project's own targets only.
function(tsb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR ON)
endfunction()

# tsb_module(NAME [PUBLIC deps...] [PRIVATE deps...]): the library tsb_NAME
# from src/NAME/*.cpp (a main.cpp there is a program's, not the module's).
# PUBLIC: modules its headers include; PRIVATE: what only its sources use.
function(tsb_module name)
  cmake_parse_arguments(PARSE_ARGV 1 MODULE "" "" "PUBLIC;PRIVATE")
  file(GLOB sources CONFIGURE_DEPENDS ${TSB_SOURCE_ROOT}/src/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(TSB_MODULES_EXCLUDE_FROM_ALL)
    add_library(tsb_${name} STATIC EXCLUDE_FROM_ALL ${sources})
  else()
    add_library(tsb_${name} STATIC ${sources})
  endif()
  set(headers ${CMAKE_BINARY_DIR}/module-headers/${name})
  file(MAKE_DIRECTORY ${headers})
  file(CREATE_LINK ${TSB_SOURCE_ROOT}/src/${name} ${headers}/${name} SYMBOLIC)
  target_include_directories(tsb_${name} PUBLIC ${headers})
  target_link_libraries(tsb_${name} PUBLIC ${MODULE_PUBLIC} PRIVATE ${MODULE_PRIVATE})
  tsb_warnings(tsb_${name})
endfunction()

tsb_module(sys)
tsb_module(text)
tsb_module(log PUBLIC tsb_sys)
tsb_module(config PUBLIC tsb_sys tsb_text PRIVATE nlohmann_json::nlohmann_json)
tsb_module(protocol PUBLIC tsb_sys tsb_text nlohmann_json::nlohmann_json PRIVATE PkgConfig::MODP_B64)
tsb_module(pty PUBLIC tsb_sys PRIVATE ${UTIL_LIBRARY})
tsb_module(readers PUBLIC tsb_protocol tsb_sys PRIVATE tsb_log tsb_text Threads::Threads)
tsb_module(session PUBLIC tsb_protocol tsb_pty tsb_sys PRIVATE tsb_log)
# attach writes its recordings' JSON itself (asciicast lines are not the wire's).
tsb_module(attach PUBLIC tsb_sys PRIVATE tsb_protocol nlohmann_json::nlohmann_json)
