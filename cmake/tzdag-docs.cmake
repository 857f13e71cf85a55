# Makes the tzdag man page and its bash completion from the tool's own
# description of its command line (tzdag --cli-reference), so that both name
# exactly the commands and options that the built tool accepts.
#
# cmake -DTZDAG=<tool> -DSECTIONS=<roff file> -DMAN_PAGE=<out> -DCOMPLETION=<out>
#       -P tzdag-docs.cmake
cmake_minimum_required(VERSION 3.21)

foreach(variable TZDAG SECTIONS MAN_PAGE COMPLETION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "tzdag-docs.cmake: ${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND ${TZDAG} --cli-reference
                OUTPUT_VARIABLE reference
                ERROR_VARIABLE errors
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TZDAG} --cli-reference failed (${status}): ${errors}")
endif()

# --- Reading the reference ---------------------------------------------------

# The elements of the JSON array at `path...` of `json`, as a list of their
# indices (empty for an empty array).
function(json_indices out json)
  string(JSON length LENGTH "${json}" ${ARGN})
  set(indices "")
  if(length GREATER 0)
    math(EXPR last "${length} - 1")
    foreach(index RANGE ${last})
      list(APPEND indices ${index})
    endforeach()
  endif()
  set(${out} "${indices}" PARENT_SCOPE)
endfunction()

# Every name of the option object `option`, as a CMake list.
function(option_names out option)
  json_indices(indices "${option}" names)
  set(names "")
  foreach(index IN LISTS indices)
    string(JSON name GET "${option}" names ${index})
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# --- The man page ------------------------------------------------------------

# Text made safe for roff: backslashes and hyphens kept literal, and no line
# that starts with a control character.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# "--name VALUE" in bold and italics, the names joined by ", ".
function(roff_option_label out option)
  option_names(names "${option}")
  string(JSON value GET "${option}" value)
  set(label "")
  foreach(name IN LISTS names)
    roff(name "${name}")
    if(label)
      string(APPEND label ", ")
    endif()
    string(APPEND label "\\fB${name}\\fR")
  endforeach()
  if(value)
    roff(value "${value}")
    string(APPEND label " \\fI${value}\\fR")
  endif()
  set(${out} "${label}" PARENT_SCOPE)
endfunction()

# One .TP item per option of the array at `path...`; a command's own help
# option is left out (the global one says it).
function(roff_option_items out json scope)
  json_indices(indices "${json}" ${ARGN})
  set(items "")
  foreach(index IN LISTS indices)
    string(JSON option GET "${json}" ${ARGN} ${index})
    option_names(names "${option}")
    if(scope STREQUAL "command" AND "--help" IN_LIST names)
      continue()
    endif()
    list(GET ARGN -1 kind)
    if(kind STREQUAL "arguments")
      list(GET names 0 label)
      roff(label "${label}")
      set(label "\\fI${label}\\fR")
    else()
      roff_option_label(label "${option}")
    endif()
    string(JSON description GET "${option}" description)
    string(JSON required GET "${option}" required)
    roff(description "${description}")
    if(required)
      string(APPEND description " (required)")
    endif()
    string(APPEND items ".TP\n${label}\n${description}\n")
  endforeach()
  set(${out} "${items}" PARENT_SCOPE)
endfunction()

# The usage line of a command: its required options, then the others in
# brackets, then its arguments; help is left out.
function(roff_command_usage out command)
  string(JSON name GET "${command}" name)
  roff(usage "${name}")
  set(usage "\\fBtzdag\\fR [\\fIGLOBAL OPTIONS\\fR] \\fB${usage}\\fR")
  foreach(pass required optional)
    json_indices(indices "${command}" options)
    foreach(index IN LISTS indices)
      string(JSON option GET "${command}" options ${index})
      option_names(names "${option}")
      if("--help" IN_LIST names)
        continue()
      endif()
      string(JSON required GET "${option}" required)
      if((pass STREQUAL "required" AND required) OR (pass STREQUAL "optional" AND NOT required))
        list(GET names -1 long)
        string(JSON value GET "${option}" value)
        roff(long "${long}")
        set(word "\\fB${long}\\fR")
        if(value)
          roff(value "${value}")
          string(APPEND word " \\fI${value}\\fR")
        endif()
        if(required)
          string(APPEND usage " ${word}")
        else()
          string(APPEND usage " [${word}]")
        endif()
      endif()
    endforeach()
  endforeach()
  json_indices(indices "${command}" arguments)
  foreach(index IN LISTS indices)
    string(JSON argument GET "${command}" arguments ${index})
    string(JSON argumentName GET "${argument}" names 0)
    roff(argumentName "${argumentName}")
    string(APPEND usage " \\fI${argumentName}\\fR")
  endforeach()
  set(${out} "${usage}" PARENT_SCOPE)
endfunction()

string(JSON version GET "${reference}" version)
string(JSON description GET "${reference}" description)
roff(description "${description}")
roff_option_items(globalOptions "${reference}" global options)

set(commandSections "")
set(commandNames "")
json_indices(commands "${reference}" commands)
foreach(index IN LISTS commands)
  string(JSON command GET "${reference}" commands ${index})
  string(JSON name GET "${command}" name)
  list(APPEND commandNames "${name}")
  string(JSON summary GET "${command}" description)
  string(JSON footer GET "${command}" footer)
  roff(summary "${summary}")
  roff(sectionName "${name}")
  roff_command_usage(usage "${command}")
  roff_option_items(arguments "${command}" command arguments)
  roff_option_items(options "${command}" command options)
  string(APPEND commandSections ".SS ${sectionName}\n${usage}\n.PP\n${summary}\n${arguments}${options}")
  if(footer)
    roff(footer "${footer}")
    string(APPEND commandSections ".PP\n${footer}\n")
  endif()
endforeach()

# One .TP item per setting: its variable, its key in tzdag.toml, what it
# sets, its default and the option that takes its place.
set(settingItems "")
json_indices(settings "${reference}" settings)
foreach(index IN LISTS settings)
  string(JSON setting GET "${reference}" settings ${index})
  foreach(field key variable type option description default)
    string(JSON ${field} GET "${setting}" ${field})
    roff(${field} "${${field}}")
  endforeach()
  string(APPEND settingItems ".TP\n.BR ${variable} \" (\" ${key} \", ${type})\"\n${description}; default: ${default}.")
  if(option)
    string(APPEND settingItems " \\fB${option}\\fR takes its place.")
  endif()
  string(APPEND settingItems "\n")
endforeach()

file(READ ${SECTIONS} sections)
string(REPLACE "@SETTINGS@\n" "${settingItems}" sections "${sections}")
file(WRITE ${MAN_PAGE}.tmp
".\\\" Made by tzdag-docs.cmake from tzdag --cli-reference; edit the tool instead.
.TH TZDAG 1 \"\" \"tzdag ${version}\" \"User Commands\"
.SH NAME
tzdag \\- ${description}
.SH SYNOPSIS
\\fBtzdag\\fR [\\fIGLOBAL OPTIONS\\fR] \\fICOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]
.br
\\fBtzdag \\-\\-version\\fR
.SH DESCRIPTION
\\fBtzdag\\fR drives the DAG discovery library \\fBlibTzDagApi.so\\fR against a
configuration store and a remote root on this machine. Global options may come
before or after the command.
.SH GLOBAL OPTIONS
${globalOptions}.SH COMMANDS
${commandSections}${sections}")
file(RENAME ${MAN_PAGE}.tmp ${MAN_PAGE})

# --- The bash completion -----------------------------------------------------

# `case` arms that print the value name of every option that takes a value,
# under the pattern `prefix` + option name.
function(completion_value_arms out json prefix)
  json_indices(indices "${json}" ${ARGN})
  set(arms "")
  foreach(index IN LISTS indices)
    string(JSON option GET "${json}" ${ARGN} ${index})
    string(JSON value GET "${option}" value)
    if(NOT value)
      continue()
    endif()
    option_names(names "${option}")
    list(TRANSFORM names PREPEND "${prefix}")
    list(JOIN names "|" pattern)
    string(APPEND arms "    ${pattern}) echo ${value} ;;\n")
  endforeach()
  set(${out} "${arms}" PARENT_SCOPE)
endfunction()

# The names of the options at `path...`; a command's own help option is left
# out, as the global one is offered beside them.
function(completion_option_words out json scope)
  json_indices(indices "${json}" ${ARGN})
  set(words "")
  foreach(index IN LISTS indices)
    string(JSON option GET "${json}" ${ARGN} ${index})
    option_names(names "${option}")
    if(scope STREQUAL "command" AND "--help" IN_LIST names)
      continue()
    endif()
    list(APPEND words ${names})
  endforeach()
  list(JOIN words " " words)
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

completion_option_words(globalWords "${reference}" global options)
completion_value_arms(valueArms "${reference}" "*:" options)
set(commandOptionArms "")
set(argumentArms "")
foreach(index IN LISTS commands)
  string(JSON command GET "${reference}" commands ${index})
  string(JSON name GET "${command}" name)
  completion_option_words(words "${command}" command options)
  string(APPEND commandOptionArms "    ${name}) echo \"${words}\" ;;\n")
  completion_value_arms(arms "${command}" "${name}:" options)
  string(APPEND valueArms "${arms}")
  string(JSON argumentCount LENGTH "${command}" arguments)
  if(argumentCount GREATER 0)
    string(JSON argumentValue GET "${command}" arguments 0 value)
    string(APPEND argumentArms "    ${name}) echo ${argumentValue} ;;\n")
  endif()
endforeach()
list(JOIN commandNames " " commandWords)

file(WRITE ${COMPLETION}.tmp
"# bash completion for tzdag ${version}
# Made by tzdag-docs.cmake from tzdag --cli-reference; edit the tool instead.

# The value name of an option that takes a value (FILE, DIR, UINT, ...) after
# command \$1 (empty before the command); nothing for a flag.
_tzdag_value_of() {
  case \"\$1:\$2\" in
${valueArms}  esac
}

# The options of command \$1.
_tzdag_options_of() {
  case \"\$1\" in
${commandOptionArms}  esac
}

# The value name of the arguments of command \$1; nothing when it takes none.
_tzdag_arguments_of() {
  case \"\$1\" in
${argumentArms}  esac
}

# Completes the id after --client (a DAG client) or --app (a subclient of the
# --client given before it) from the store the command line names: the ids
# that start with what is typed, each shown with its name, or the one id alone.
_tzdag_complete_ids() {
  local option=\"\$1\" i word client=\"\" lines=\"\" line id matches=()
  local -a store=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=\"\${COMP_WORDS[i]}\"
    case \"\$word\" in
      --store) store=(--store \"\${COMP_WORDS[i + 1]}\") ;;
      --client) client=\"\${COMP_WORDS[i + 1]}\" ;;
    esac
  done
  if [[ \$option == --client ]]; then
    lines=\"\$(\"\${COMP_WORDS[0]}\" \"\${store[@]}\" --log /dev/null clients --id-list 2>/dev/null)\"
  elif [[ -n \$client ]]; then
    lines=\"\$(\"\${COMP_WORDS[0]}\" \"\${store[@]}\" --log /dev/null subclients --client \"\$client\" \\
      --id-list 2>/dev/null)\"
  fi
  local IFS=\$'\\n'
  for line in \$lines; do
    id=\"\${line%%\$'\\t'*}\"
    [[ \$id == \"\$cur\"* ]] && matches+=(\"\$id  (\${line#*\$'\\t'})\")
  done
  if ((\${#matches[@]} == 1)); then
    COMPREPLY=(\"\${matches[0]%%  *}\")
  else
    COMPREPLY=(\"\${matches[@]}\")
  fi
}

# Completes files, folders or nothing, as the value name \$1 asks.
_tzdag_complete_value() {
  local IFS=$'\\n'
  case \"\$1\" in
    FILE) COMPREPLY=(\$(compgen -f -- \"\$cur\")) ;;
    DIR) COMPREPLY=(\$(compgen -d -- \"\$cur\")) ;;
    *) COMPREPLY=() ;;
  esac
  # Let readline add the slash after a folder and quote what needs it.
  compopt -o filenames 2>/dev/null
}

_tzdag() {
  local cur=\"\${COMP_WORDS[COMP_CWORD]}\"
  local command=\"\" i word value
  # The command is the first word that is not an option or an option's value.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=\"\${COMP_WORDS[i]}\"
    if [[ \$word == -* ]]; then
      [[ -n \$(_tzdag_value_of \"\$command\" \"\$word\") ]] && ((i++))
    elif [[ -z \$command ]]; then
      command=\"\$word\"
    fi
  done

  local prev=\"\${COMP_WORDS[COMP_CWORD - 1]}\"
  if ((COMP_CWORD > 1)) && [[ \$prev == -* ]]; then
    value=\"\$(_tzdag_value_of \"\$command\" \"\$prev\")\"
    if [[ \$value == *ID* && ( \$prev == --client || \$prev == --app ) ]]; then
      _tzdag_complete_ids \"\$prev\"
      return
    fi
    if [[ -n \$value ]]; then
      _tzdag_complete_value \"\$value\"
      return
    fi
  fi

  if [[ \$cur == -* ]]; then
    local words=\"${globalWords}\"
    [[ -n \$command ]] && words+=\" \$(_tzdag_options_of \"\$command\")\"
    COMPREPLY=(\$(compgen -W \"\$words\" -- \"\$cur\"))
  elif [[ -z \$command ]]; then
    COMPREPLY=(\$(compgen -W \"${commandWords}\" -- \"\$cur\"))
  else
    value=\"\$(_tzdag_arguments_of \"\$command\")\"
    if [[ -n \$value ]]; then
      _tzdag_complete_value \"\$value\"
    else
      COMPREPLY=(\$(compgen -W \"\$(_tzdag_options_of \"\$command\")\" -- \"\$cur\"))
    fi
  fi
}
complete -F _tzdag tzdag
")
file(RENAME ${COMPLETION}.tmp ${COMPLETION})
