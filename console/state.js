// What the views share: the topology, the last reported status of every device, the ticked
// components and the firmware slots.

export const kSlotOfComponent = {
  EMU: 'emu:emu',
  PCS_DSP1: 'pcs:dsp1',
  PCS_DSP2: 'pcs:dsp2',
  PCS_FPGA: 'pcs:fpga',
  PCS_ARM: 'pcs:arm',
  BMS_BAU: 'bms:bau',
  BMS_BEU: 'bms:beu',
  BMS_BCU: 'bms:bcu',
};
export const kSlots = Object.values(kSlotOfComponent);

export const state = {
  sceneGeneration: null,
  topology: null,
  devices: new Map(),  // nodeId -> node of the last device.status
  ticked: new Map(),   // componentKey -> { nodeId, typeId, index }
  listeners: new Set(),
};

export function componentKey(nodeId, typeId, index) {
  return `${nodeId}\u0000${typeId}\u0000${index}`;
}

// Views that depend on the ticks or the device versions (the plan) subscribe here.
export function notify(what) {
  for (const listener of state.listeners) {
    listener(what);
  }
}
