# Bash completion for moxvolscan: commands, each command's options (taken
# from its --help, so they stay current), the values of --api,
# --overwrite and --min-verdict, and file names everywhere else.
_moxvolscan() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="cat drives info ls recover save scan"
  if [[ $cword -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --api) COMPREPLY=($(compgen -W "auto find ntfs vfat" -- "$cur")); return ;;
    --overwrite) COMPREPLY=($(compgen -W "ask all none" -- "$cur")); return ;;
    --fat) COMPREPLY=($(compgen -W "0 1 2" -- "$cur")); return ;;
    --min-verdict) COMPREPLY=($(compgen -W "intact unknown reused" -- "$cur")); return ;;
    --partition|--sector|--mft|--mask|--match|--min-size|--max-size|--after|--before) return ;;
  esac
  if [[ $cur == -* ]]; then
    local options
    options=$("${words[0]}" "${words[1]}" --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    return
  fi
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _moxvolscan moxvolscan
