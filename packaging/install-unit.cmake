# Install script: puts the systemd units in place with ExecStart naming the
# daemons where this installation puts them. The prefix is known only now:
# cpack installs under another prefix than the build was configured with.
#
# Set before this script runs:
#   VARNEL_UNIT_SOURCES  the units, with @SBINDIR@ for the daemons' directory
#   VARNEL_UNIT_DIR      the units' directory (relative: under the prefix)
#   VARNEL_SBINDIR       the daemons' directory (relative: under the prefix)
#   VARNEL_UNIT_STAGING  a directory of the build tree for the finished units

foreach(var VARNEL_UNIT_DIR VARNEL_SBINDIR)
  if(IS_ABSOLUTE "${${var}}")
    set(${var}_FULL "${${var}}")
  else()
    set(${var}_FULL "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

# The finished units are staged in a directory of their own for each
# destination, so that installs to different places never share a file, and
# removed once installed.
string(MD5 key "$ENV{DESTDIR}${VARNEL_UNIT_DIR_FULL}")
set(staging "${VARNEL_UNIT_STAGING}/${key}")
foreach(source IN LISTS VARNEL_UNIT_SOURCES)
  file(READ "${source}" unit)
  string(REPLACE "@SBINDIR@" "${VARNEL_SBINDIR_FULL}" unit "${unit}")
  get_filename_component(name "${source}" NAME)
  file(WRITE "${staging}/${name}" "${unit}")
  file(INSTALL "${staging}/${name}" DESTINATION "${VARNEL_UNIT_DIR_FULL}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
file(REMOVE_RECURSE "${staging}")
