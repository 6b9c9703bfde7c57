# Build identity of the version banner and the version resource. Included from src/CMakeLists.txt, this
# adds a step that runs on every build and rewrites agent_revision.h only when the source revision
# changed; run as a script (cmake -P) it is that step.

if(CMAKE_SCRIPT_MODE_FILE)
  set(revision "${REVISION}")
  set(result 0)
  if(revision STREQUAL "")
    execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse HEAD
                    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE result ERROR_QUIET)
  endif()
  string(LENGTH "${revision}" revision_length)
  if(NOT result STREQUAL "0" OR NOT revision MATCHES "^[0-9a-f]+$" OR NOT revision_length EQUAL 40)
    string(REPEAT "0" 40 revision)
  endif()
  # The file and product version of the version resource (src/agent.rc). A build identifier that is one
  # to four dot-separated numbers, each at most 65535 (a version field has 16 bits), is that version,
  # missing fields 0 ("2.1" gives 2.1.0.0). Any other identifier gives 0.0.0.0: "devbuild", the
  # developer's default, and also "20240117", one number too large for a field.
  set(version 0 0 0 0)
  if(BUILD_LIFE_ID MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    string(REPLACE "." ";" version "${BUILD_LIFE_ID}.0.0.0")
    list(SUBLIST version 0 4 version)
    list(TRANSFORM version REPLACE "^0+([0-9])" "\\1")  # no leading zeros: rc reads them as octal
    foreach(field IN LISTS version)
      if(field GREATER 65535)
        set(version 0 0 0 0)
      endif()
    endforeach()
  endif()
  string(JOIN "," version_list ${version})
  string(JOIN "." version_text ${version})
  set(content "// Generated on every build by cmake/version_banner.cmake.\n"
              "#define AGENT_GIT_REV_ID L\"${revision}\"\n"
              "#define AGENT_BUILD_LIFE_ID L\"${BUILD_LIFE_ID}\"\n"
              "#define AGENT_FILE_VERSION ${version_list}\n"
              "#define AGENT_FILE_VERSION_TEXT \"${version_text}\"\n"
              "#define AGENT_VERSION_COMMENTS \"build ${BUILD_LIFE_ID}, revision ${revision}\"\n")
  string(JOIN "" content ${content})
  set(old "")
  if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
  endif()
  if(NOT old STREQUAL content)
    file(WRITE "${OUTPUT}" "${content}")
  endif()
  return()
endif()

set(AGENT_BUILD_LIFE_ID "devbuild" CACHE STRING "Build identifier shown by the version banner (8 characters)")
string(LENGTH "${AGENT_BUILD_LIFE_ID}" build_life_id_length)
if(NOT build_life_id_length EQUAL 8 OR NOT AGENT_BUILD_LIFE_ID MATCHES "^[A-Za-z0-9._-]+$")
  message(FATAL_ERROR "AGENT_BUILD_LIFE_ID must be 8 letters, digits or . _ -: '${AGENT_BUILD_LIFE_ID}'")
endif()
# A source tree without its git history (an archive of one revision) names its revision here.
set(AGENT_GIT_REVISION "" CACHE STRING "Source revision (40 hexadecimal digits); empty: asked from git")
string(LENGTH "${AGENT_GIT_REVISION}" revision_length)
if(NOT revision_length MATCHES "^(0|40)$" OR NOT AGENT_GIT_REVISION MATCHES "^[0-9a-f]*$")
  message(FATAL_ERROR "AGENT_GIT_REVISION must be 40 lower-case hexadecimal digits: '${AGENT_GIT_REVISION}'")
endif()
set(AGENT_REVISION_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
add_custom_target(agent_revision
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${AGENT_REVISION_DIR}/agent_revision.h
          -DBUILD_LIFE_ID=${AGENT_BUILD_LIFE_ID} -DREVISION=${AGENT_GIT_REVISION} -P ${CMAKE_CURRENT_LIST_FILE}
  BYPRODUCTS ${AGENT_REVISION_DIR}/agent_revision.h
  VERBATIM)
add_dependencies(agent_core agent_revision)
target_include_directories(agent_core PRIVATE ${AGENT_REVISION_DIR})
