# Install script: puts the systemd unit in place with ExecStart naming
# varneld where this installation puts it. The prefix is known only now:
# cpack installs under another prefix than the build was configured with.
#
# Set before this script runs:
#   VARNEL_UNIT_SOURCE   the unit, with @SBINDIR@ for the daemon's directory
#   VARNEL_UNIT_DIR      the unit's directory (relative: under the prefix)
#   VARNEL_SBINDIR       the daemon's directory (relative: under the prefix)
#   VARNEL_UNIT_STAGING  a directory of the build tree for the finished unit

foreach(var VARNEL_UNIT_DIR VARNEL_SBINDIR)
  if(IS_ABSOLUTE "${${var}}")
    set(${var}_FULL "${${var}}")
  else()
    set(${var}_FULL "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

file(READ "${VARNEL_UNIT_SOURCE}" unit)
string(REPLACE "@SBINDIR@" "${VARNEL_SBINDIR_FULL}" unit "${unit}")

# The finished unit is staged under a name of its own for each destination,
# so that installs to different places never share a file, and removed once
# installed.
string(MD5 key "$ENV{DESTDIR}${VARNEL_UNIT_DIR_FULL}")
set(staged "${VARNEL_UNIT_STAGING}/${key}/varneld.service")
file(WRITE "${staged}" "${unit}")

file(INSTALL "${staged}" DESTINATION "${VARNEL_UNIT_DIR_FULL}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(REMOVE_RECURSE "${VARNEL_UNIT_STAGING}/${key}")
