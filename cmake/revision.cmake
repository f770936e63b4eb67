# The revision string: the first eight hex digits of the source commit, fixed
# when CMake configures (a new commit re-runs the configuration). A tree made
# by `git archive` (a release tarball, a forge's download of a commit) has no
# .git, but git has written the commit and its time into cmake/release-commit;
# any other tree without git is given its commit: -DKELMAR_REVISION=<hex>.
#
# KELMAR_PACKAGE_VERSION is the Debian package's upstream version. Every later
# commit of main must compare higher under dpkg, so a git build is a snapshot
# named as Debian names them: PROJECT_VERSION+git<commit day, UTC>.<commits up
# to it>.<revision>. A build without git is the release PROJECT_VERSION.
set(KELMAR_REVISION "" CACHE STRING "source commit of a build without git (8 or more hex digits)")
set(KELMAR_PACKAGE_VERSION "${PROJECT_VERSION}")
set(KELMAR_COMMIT_TIME "")

function(kelmar_git out)
  execute_process(COMMAND "${GIT_EXECUTABLE}" ${ARGN} WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                  OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "${answer}" PARENT_SCOPE)
endfunction()

find_package(Git QUIET)
if(KELMAR_REVISION STREQUAL "" AND GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  set(ENV{TZ} UTC)
  kelmar_git(commit rev-parse HEAD)
  kelmar_git(day log -1 --format=%cd --date=format-local:%Y%m%d)
  kelmar_git(KELMAR_COMMIT_TIME log -1 --format=%ct)
  kelmar_git(count rev-list --count HEAD)
  kelmar_git(git_dir rev-parse --absolute-git-dir)
  kelmar_git(shallow rev-parse --is-shallow-repository)
  if(shallow STREQUAL "true")
    message(WARNING "a shallow clone counts only the ${count} commits it fetched, so this "
                    "package version may compare lower than older ones: git fetch --unshallow")
  endif()
  string(SUBSTRING "${commit}" 0 8 KELMAR_REVISION)
  set(KELMAR_PACKAGE_VERSION "${PROJECT_VERSION}+git${day}.${count}.${KELMAR_REVISION}")
  foreach(moved HEAD logs/HEAD)
    if(EXISTS "${git_dir}/${moved}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/${moved}")
    endif()
  endforeach()
elseif(KELMAR_REVISION STREQUAL "")
  file(READ "${PROJECT_SOURCE_DIR}/cmake/release-commit" release)
  if(NOT release MATCHES "^([0-9a-f]+) ([0-9]+)\n$")
    message(FATAL_ERROR "neither a git checkout nor a release archive: "
                        "give the source commit, -DKELMAR_REVISION=<hex>")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${PROJECT_SOURCE_DIR}/cmake/release-commit")
  set(KELMAR_REVISION "${CMAKE_MATCH_1}")
  set(KELMAR_COMMIT_TIME "${CMAKE_MATCH_2}")
endif()
string(TOLOWER "${KELMAR_REVISION}" KELMAR_REVISION)
string(LENGTH "${KELMAR_REVISION}" length)
if(length LESS 8 OR NOT KELMAR_REVISION MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "KELMAR_REVISION '${KELMAR_REVISION}' is not a commit (8 or more hex digits)")
endif()
string(SUBSTRING "${KELMAR_REVISION}" 0 8 KELMAR_REVISION)
message(STATUS "kelmar-host-perfdata ${KELMAR_PACKAGE_VERSION}, revision ${KELMAR_REVISION}")
