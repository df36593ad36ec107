# shellcheck shell=bash
# The installing that scripts/setup and scripts/setup-windows share (sourced
# by both). A package list that cannot be fetched does not end a setup: the
# update is tried a few times and then left, and what is needed is installed
# from the lists there are. A required package that cannot be installed ends
# the setup with its name; an optional one is skipped, and why goes to a note
# (setup_note) that scripts/test and the tests that are then skipped print.
# apt-get waits for a lock another apt-get or dpkg holds.
#
# The caller sets `root` (the source tree) before sourcing this.

setup_name=scripts/$(basename "$0")
# The notes of the last setup: a file per skipped part, holding the reason.
setup_notes=${NICTATE_SETUP_NOTES:-$root/build/setup-notes}
update_tries=${NICTATE_APT_UPDATE_TRIES:-3}
update_delay=${NICTATE_APT_UPDATE_DELAY:-10}

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi

apt_get() {
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null
}

# missing_packages PKG... : those of PKG not installed, one a line.
missing_packages() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}

# apt-get update, tried update_tries times. Where every try fails it shows
# apt-get's last words and goes on; update_error keeps their first error.
update_error=""
updated=0
apt_update() {
  local try output
  for ((try = 1; ; try++)); do
    if output=$(apt_get update -qq 2>&1); then
      update_error=""
      updated=1
      return 0
    fi
    update_error=$(grep -m 1 '^E: ' <<<"$output" || tail -n 1 <<<"$output")
    if ((try >= update_tries)); then
      break
    fi
    echo "$setup_name: apt-get update failed (try $try of $update_tries): $update_error;" \
      "trying again in $update_delay s"
    sleep "$update_delay"
  done
  echo "$output"
  echo "$setup_name: apt-get update failed $update_tries times; going on with the package" \
    "lists there are"
  updated=1
}

# install_required WHAT PKG... : installs those of PKG that are missing;
# where one cannot be installed, says which and why they are WHAT, and ends
# the setup (status 1).
install_required() {
  local what=$1 missing p failed=()
  shift
  mapfile -t missing < <(missing_packages "$@")
  ((${#missing[@]} > 0)) || return 0
  ((updated)) || apt_update
  echo "Installing: ${missing[*]}"
  apt_get install -y -qq --no-install-recommends "${missing[@]}" && return 0
  # Which of them cannot be had: each on its own.
  for p in "${missing[@]}"; do
    if [[ -n $(missing_packages "$p") ]] &&
      ! apt_get install -y -qq --no-install-recommends "$p"; then
      failed+=("$p")
    fi
  done
  ((${#failed[@]} > 0)) || return 0
  echo "$setup_name: FAILED: cannot install ${failed[*]}, needed $what" >&2
  if [[ -n $update_error ]]; then
    echo "$setup_name: (apt-get update had failed: $update_error)" >&2
  fi
  exit 1
}

# install_optional NOTE WHAT PKG... : installs those of PKG that are missing,
# all or none. Where they cannot be installed it says so and goes on (status
# 1), with the reason in the note NOTE; where they are there, NOTE goes.
install_optional() {
  local note=$1 what=$2 missing output reason
  shift 2
  rm -f "$setup_notes/$note"
  mapfile -t missing < <(missing_packages "$@")
  ((${#missing[@]} > 0)) || return 0
  ((updated)) || apt_update
  echo "Installing: ${missing[*]}"
  if output=$(apt_get install -y -qq --no-install-recommends "${missing[@]}" 2>&1); then
    [[ -z $output ]] || echo "$output"
    return 0
  fi
  echo "$output"
  reason="$setup_name could not install ${missing[*]}: $(grep -m 1 '^E: ' <<<"$output" ||
    tail -n 1 <<<"$output")"
  if [[ -n $update_error ]]; then
    reason+="; apt-get update had failed: $update_error"
  fi
  mkdir -p "$setup_notes"
  echo "$reason" >"$setup_notes/$note"
  echo "$setup_name: skipped $what. $reason"
  return 1
}
