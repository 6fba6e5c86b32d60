# Sourced by the scripts that run the library, its programs or its tests: the
# library's settings of the calling shell (a VELDRV_COM1 naming the user's
# adapter, VELDRV_FX_AREAS=legacy, a trace) reach nothing they start; each
# sets what it needs. The scripts' own VELDRV_* options (VELDRV_KEEP, the
# build folders) are not the library's and stay.
while IFS= read -r name; do
  case "$name" in
  VELDRV_COM[0-9]* | VELDRV_DEVICE_DIR | VELDRV_TRACE | VELDRV_FRAME_BYTES | VELDRV_FX_AREAS) unset "$name" ;;
  esac
done < <(compgen -e)
