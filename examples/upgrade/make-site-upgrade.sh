#!/usr/bin/env bash
# Writes firmware files for every component of the example site (examples/topology/site.json)
# and the preview request that binds them, ready for POST /api/v1/upgrades/preview.
#   examples/upgrade/make-site-upgrade.sh OUT_DIR [UPGRADE_ID] [CURRENT_VERSION] [TARGET_VERSION]
# Defaults: UPGRADE_ID site_upgrade_1, CURRENT_VERSION 1.0.0 (what the simulator reports at
# first), TARGET_VERSION 2.0.0. The files are random bytes (256 KiB each): the simulated devices
# check sizes, CRC-32s and SHA-256 digests, not contents.
set -euo pipefail
out=${1:?usage: $0 OUT_DIR [UPGRADE_ID] [CURRENT_VERSION] [TARGET_VERSION]}
upgrade_id=${2:-site_upgrade_1}
current=${3:-1.0.0}
target=${4:-2.0.0}
mkdir -p "$out"
out=$(cd "$out" && pwd)

slots=(emu:emu pcs:dsp1 pcs:dsp2 pcs:fpga pcs:arm bms:bau bms:beu bms:bcu)
files=""
for slot in "${slots[@]}"; do
    name="${slot/:/-}-${target}.bin"
    head -c 262144 /dev/urandom > "$out/$name"
    files+="${files:+,}{\"fileSlotKey\":\"$slot\",\"filePath\":\"$out/$name\",\"targetVersion\":\"$target\"}"
done

targets=""
add_target() {  # nodeId componentTypeId componentIndex fileSlotKey
    targets+="${targets:+,}{\"nodeId\":\"$1\",\"componentTypeId\":\"$2\",\"componentIndex\":$3,"
    targets+="\"currentVersion\":\"$current\",\"fileSlotKey\":\"$4\",\"force\":false}"
}
add_target emu-1 EMU 1 emu:emu
for pcs in pcs-1 pcs-2; do
    add_target "$pcs" PCS_DSP1 1 pcs:dsp1
    add_target "$pcs" PCS_DSP2 1 pcs:dsp2
    add_target "$pcs" PCS_FPGA 1 pcs:fpga
    add_target "$pcs" PCS_ARM 1 pcs:arm
done
for bms in bms-1 bms-2; do
    add_target "$bms" BMS_BAU 1 bms:bau
    add_target "$bms" BMS_BEU 1 bms:beu
    for bcu in 1 2 3 4 5 6; do
        add_target "$bms" BMS_BCU "$bcu" bms:bcu
    done
done

printf '{"upgradeId":"%s","files":[%s],"targets":[%s]}\n' "$upgrade_id" "$files" "$targets" > "$out/preview.json"
echo "$out/preview.json"
