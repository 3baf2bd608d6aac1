# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged files, before they are
# packed: every folder becomes 0755. CMake creates the staging folders with
# mkdir, which the builder's umask narrows even when
# CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS asks for 0755; under umask 077
# they would come out drwx------ and users could not reach the program.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path IN LISTS staged)
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
        file(CHMOD "${path}" DIRECTORY_PERMISSIONS
             OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
