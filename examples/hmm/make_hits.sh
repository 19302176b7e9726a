#!/usr/bin/env bash
# Rebuilds hits.tblout from families.sto and genes.faa with HMMER
# (Debian package "hmmer"): one profile HMM per family, searched against
# the genes.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
hmmbuild "$tmp/families.hmm" families.sto > /dev/null
hmmsearch --tblout hits.tblout -E 10 "$tmp/families.hmm" genes.faa > /dev/null
sed -i '/^# Current dir:/d; /^# Date:/d' hits.tblout
rm -r "$tmp"
