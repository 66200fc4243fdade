#!/usr/bin/env bash
# desktop-file-validate exits 0 on hints and warnings; here any remark is a failure.
set -euo pipefail
app=${VELMORA_SOURCE_DIR:?}/app
remarks=$(desktop-file-validate "$app/org.velmora.Velmora.desktop")
if [ -n "$remarks" ]; then
  echo "$remarks"
  exit 1
fi
appstreamcli validate --no-net "$app/org.velmora.Velmora.metainfo.xml"
