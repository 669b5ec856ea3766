# bash completion for discshell: options, image files for IMAGE, directories
# for -C and --mount, files for -f, -o, --patch, --map and --compare, command
# letters after -c, and common FUSE options after --fuse-option.
_discshell() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    -c)
      COMPREPLY=($(compgen -W 'a c d e f g h i k l m n o p q r s t u v w x' -- "$cur"))
      return
      ;;
    -C | --mount)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    -f | -o | --patch | --map | --compare)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --fuse-option)
      COMPREPLY=($(compgen -W 'allow_other allow_root auto_unmount debug' -- "$cur"))
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-c -f -C -o -h -V --help --version --overwrite --patch --mount --foreground --fuse-option --map --compare --other-offset --layout --' -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _discshell discshell
