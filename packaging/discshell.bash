# bash completion for discshell: options, image files for IMAGE, directories
# for -C, files for -f and -o, and command letters after -c.
_discshell() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    -c)
      COMPREPLY=($(compgen -W 'a c d e g h i l m n p q r s t u v w x' -- "$cur"))
      return
      ;;
    -C)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    -f | -o)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-c -f -C -o -h -V --help --version --overwrite --' -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _discshell discshell
