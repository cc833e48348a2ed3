# Sourced by scripts/run: where the development signing service keeps its envelopes.
# Outside the program's output folder, whose folder watcher would report every stored
# PDF as a printed document that can be neither uploaded nor removed.

dev_service_data_dir() {
  echo "${XDG_STATE_HOME:-$HOME/.local/state}/velunio-dev-service"
}

# Earlier runs kept the data in the output folder's "dev-service"; moving it out once
# ends the phantom documents and keeps the envelopes.
move_old_dev_service_data() {
  local old new
  old="${XDG_DATA_HOME:-$HOME/.local/share}/VelunioPrint/dev-service"
  new=$(dev_service_data_dir)
  [ -d "$old" ] || return 0
  if [ -e "$new" ]; then
    echo "The development service's old data folder $old shows its PDFs as printed documents;" \
      "its data now lives in $new. Remove the old folder once you no longer need it." >&2
    return 0
  fi
  mkdir -p "$(dirname "$new")"
  mv "$old" "$new"
  echo "Moved the development service's data from $old to $new." >&2
}
