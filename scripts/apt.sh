#!/usr/bin/env bash
# Debian's package registry, asked so that a mirror caught in the middle of a sync does not end the run.
# There an index is briefly not the size its Release file names, or a package not the one its index
# names: apt-get fails with status 100, and a minute later it does not. Each step is tried three times
# over half a minute before it counts as failed.
#
#   source scripts/apt.sh
#   apt_update             renews the lists; where some still fail, says so and keeps those it has
#   apt_install PKG...     installs, renewing the lists between tries; fails after the third
#   apt_try CMD...         any other apt command (a download), tried the same way

apt_update() {
  local try
  for try in 1 2 3; do
    apt-get update -qq && return 0
    [ "$try" -lt 3 ] && apt_pause "$try" "apt-get update"
  done
  # apt-get keeps the lists it had for the indexes it could not renew, and a package is often still in
  # those; whether it is, the step that follows finds out.
  echo "apt: some lists could not be renewed; going on with those there are" >&2
}

apt_try() {
  local try
  for try in 1 2 3; do
    "$@" && return 0
    [ "$try" -lt 3 ] || return 1
    local what="$*"
    apt_pause "$try" "${what:0:100}"
    apt-get update -qq || true
  done
}

apt_install() {
  apt_try env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "$@" >/dev/null
}

apt_pause() { local s=$(( $1 * 10 )); echo "apt: $2 failed (try $1 of 3); again in $s s" >&2; sleep "$s"; }
