# bash completion for trellick-cli
# The options are read from the program's own help for the command being
# typed, so the completion never lags behind the program.

_trellick_cli() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD - 1]}"
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }

  local commands="find replace preview undo runs tables shrink help"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
    find | replace | preview | undo | runs | tables | shrink | help)
      command="${words[i]}"
      break
      ;;
    esac
  done

  case "$prev" in
  --server | -s)
    COMPREPLY=($(compgen -W "sqlite postgresql: mariadb: dsn:" -- "$cur"))
    [[ "$cur" == *:* ]] && compopt -o nospace 2>/dev/null
    return
    ;;
  --database | -d | --pairs | --sql | --journal | --find-file | --replace-file)
    COMPREPLY=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
    return
    ;;
  --format)
    COMPREPLY=($(compgen -W "table json count" -- "$cur"))
    return
    ;;
  esac

  if [[ -z "$command" ]]; then
    if [[ "$cur" == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi
  if [[ "$command" == help ]]; then
    COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
    return
  fi
  if [[ "$cur" == -* ]]; then
    local options
    options="$("${words[0]}" "$command" --help 2>/dev/null |
      grep -o -e '--[a-z][a-z0-9-]*' | sort -u)"
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  fi
}
complete -F _trellick_cli trellick-cli
