# The Debian changelog, made from CHANGELOG.md, the one place where changes
# are written down.
#
# varnel_debian_changelog(<markdown> <output> <version-var>) writes the
# changelog to <output> and sets <version-var> to the package version: the
# newest release when CHANGELOG.md starts with it, that release followed by
# "+dev" when an "Unreleased" section comes first (a build of a tree with
# changes no release has). The newest release must be the project's version.
#
# CHANGELOG.md: "## Unreleased" or "## VERSION (YYYY-MM-DD)" per release,
# "### Group" headings in it, "- item" lines continued by lines indented
# two blanks. Anything before the first "## " is for readers only.

# Day of the week of a date (Sakamoto's method).
function(varnel_weekday year month day out)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  if(month LESS 3)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR dow "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
  set(names Sun Mon Tue Wed Thu Fri Sat)
  list(GET names ${dow} name)
  set(${out} ${name} PARENT_SCOPE)
endfunction()

function(varnel_debian_changelog markdown output version_var)
  # Lines as a list: the semicolons and brackets of the text held apart.
  file(READ "${markdown}" lines)
  string(REPLACE ";" "@SEMICOLON@" lines "${lines}")
  string(REPLACE "[" "@LBRACKET@" lines "${lines}")
  string(REPLACE "]" "@RBRACKET@" lines "${lines}")
  string(REPLACE "\n" ";" lines "${lines}\n## end")  # the end closes the last entry
  set(text "")
  set(head "")       # the first line of the entry being read
  set(released "")   # the newest release
  set(unreleased OFF)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ")
      if(head)
        string(APPEND text "${head}\n\n${body}\n -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n\n")
      endif()
      set(body "")
      if(line STREQUAL "## end")
        break()
      elseif(line STREQUAL "## Unreleased" AND NOT head)
        set(unreleased ON)
        set(head "varnel (@SNAPSHOT@) UNRELEASED; urgency=medium")
        string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
      elseif(line MATCHES "^## ([0-9][0-9.]*) \\(([0-9]+)-([0-9]+)-([0-9]+)\\)$")
        set(head "varnel (${CMAKE_MATCH_1}) unstable; urgency=medium")
        if(NOT released)
          set(released ${CMAKE_MATCH_1})
        endif()
        set(y ${CMAKE_MATCH_2})
        set(d ${CMAKE_MATCH_4})
        math(EXPR m "${CMAKE_MATCH_3} - 1")
        set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
        list(GET months ${m} month)
        varnel_weekday(${y} ${CMAKE_MATCH_3} ${d} weekday)
        set(date "${weekday}, ${d} ${month} ${y} 00:00:00 +0000")
      else()
        message(FATAL_ERROR "${markdown}: a release heading is \"## Unreleased\" (first) "
                            "or \"## VERSION (YYYY-MM-DD)\", not \"${line}\"")
      endif()
    elseif(NOT head OR line STREQUAL "")
      # the readers' introduction, and blank lines
    elseif(line MATCHES "^### (.+)$")
      string(APPEND body "  * ${CMAKE_MATCH_1}:\n")
    elseif(line MATCHES "^- (.+)$")
      string(APPEND body "    - ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  (.+)$")
      string(APPEND body "      ${CMAKE_MATCH_1}\n")
    else()
      message(FATAL_ERROR "${markdown}: under a release go \"### \" groups and \"- \" "
                          "items, not \"${line}\"")
    endif()
  endforeach()
  if(NOT released STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${markdown}: the newest release is \"${released}\", the "
                        "project's version ${PROJECT_VERSION}; give both the same")
  endif()
  set(version ${released})
  if(unreleased)
    set(version "${released}+dev")
  endif()
  string(REPLACE "@SNAPSHOT@" "${version}" text "${text}")
  string(REPLACE "@SEMICOLON@" ";" text "${text}")
  string(REPLACE "@LBRACKET@" "[" text "${text}")
  string(REPLACE "@RBRACKET@" "]" text "${text}")
  string(REGEX REPLACE "\n\n$" "\n" text "${text}")
  file(WRITE "${output}" "${text}")
  set(${version_var} ${version} PARENT_SCOPE)
endfunction()
