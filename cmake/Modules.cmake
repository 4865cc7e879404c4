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
# Two more guards make the layering hold for every module, whatever the
# tests link: an include with ".." in it (which would reach a sibling's
# source folder directly) stops the configuration, and each module is
# linked alone, every object of it, with only what it declares
# (tsb_module_alone_NAME, part of every build), so a call upwards fails the
# build even where the broker would have linked it.
#
# Set TSB_MODULES_EXCLUDE_FROM_ALL before including it to build a module
# only when something links it (and to leave out the lone links).

get_filename_component(TSB_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)

find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODP_B64 REQUIRED IMPORTED_TARGET stringencoders)
find_library(UTIL_LIBRARY util REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto SSL)

# The project's own warnings, as errors, on the project's own targets only.
function(tsb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR ON)
endfunction()

# tsb_refuse_parent_includes(NAME): a quoted include that climbs out of
# its folder ("../log/log.hpp") would walk around the module's header
# folders, so none is accepted in src/NAME.
function(tsb_refuse_parent_includes name)
  file(GLOB files ${TSB_SOURCE_ROOT}/src/${name}/*.cpp ${TSB_SOURCE_ROOT}/src/${name}/*.hpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} climbing REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*\\.\\.")
    if(climbing)
      message(FATAL_ERROR "${file}: an include may not climb out of its folder with \"..\" "
                          "(name the module's header, \"log/log.hpp\", and link the module): ${climbing}")
    endif()
  endforeach()
endfunction()

# tsb_link_alone(TARGET LIBRARY [ALL] [OBJECTS...]): a program of nothing but
# every object of LIBRARY (and OBJECTS), linked with what LIBRARY declares.
# An undefined reference means the library calls a module it did not
# declare. Not built by default unless ALL is given.
set(TSB_EMPTY_MAIN ${CMAKE_BINARY_DIR}/module-headers/empty_main.cpp)
file(WRITE ${TSB_EMPTY_MAIN} "int main() { return 0; }\n")
function(tsb_link_alone target library)
  cmake_parse_arguments(PARSE_ARGV 2 ALONE "ALL" "" "")
  if(ALONE_ALL)
    add_executable(${target} ${TSB_EMPTY_MAIN} ${ALONE_UNPARSED_ARGUMENTS})
  else()
    add_executable(${target} EXCLUDE_FROM_ALL ${TSB_EMPTY_MAIN} ${ALONE_UNPARSED_ARGUMENTS})
  endif()
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${library}>")
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
  tsb_refuse_parent_includes(${name})
  if(NOT TSB_MODULES_EXCLUDE_FROM_ALL)
    tsb_link_alone(tsb_module_alone_${name} tsb_${name} ALL)
  endif()
endfunction()

tsb_module(sys)
tsb_module(text)
tsb_module(log PUBLIC tsb_sys)
tsb_module(config PUBLIC tsb_sys tsb_text PRIVATE nlohmann_json::nlohmann_json)
tsb_module(protocol PUBLIC tsb_sys tsb_text nlohmann_json::nlohmann_json PRIVATE PkgConfig::MODP_B64)
tsb_module(pty PUBLIC tsb_sys PRIVATE ${UTIL_LIBRARY})
tsb_module(readers PUBLIC tsb_protocol tsb_sys PRIVATE tsb_log tsb_text Threads::Threads)
tsb_module(session PUBLIC tsb_protocol tsb_pty tsb_sys PRIVATE tsb_log)
# attach writes its recordings' JSON itself (asciicast lines are not the wire's),
# and joins shared sessions over WebSocket (SHA-1 in its handshake; TLS for https links).
tsb_module(attach PUBLIC tsb_sys PRIVATE tsb_protocol nlohmann_json::nlohmann_json OpenSSL::SSL OpenSSL::Crypto)
