# The revision string: the first eight hex digits of the source commit, or a
# fixed fallback when the tree is not a git checkout. Fixed when CMake
# configures; a new commit re-runs the configuration through the git log.
set(KELMAR_REVISION "00000000")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" rev-parse --short=8 HEAD
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
    OUTPUT_VARIABLE git_revision
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_result
    ERROR_QUIET)
  if(git_result EQUAL 0 AND git_revision MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${git_revision}" 0 8 KELMAR_REVISION)
  endif()
  if(EXISTS "${CMAKE_SOURCE_DIR}/.git/logs/HEAD")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 "${CMAKE_SOURCE_DIR}/.git/logs/HEAD")
  endif()
endif()
string(LENGTH "${KELMAR_REVISION}" revision_length)
if(NOT revision_length EQUAL 8)
  set(KELMAR_REVISION "00000000")
endif()
message(STATUS "kelmar-host-perfdata revision ${KELMAR_REVISION}")
