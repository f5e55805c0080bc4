// The running task as the page holds it: read whole from the current upgrade, then kept up to date
// by the "upgrade.devices" events, which carry only the devices that changed. Each event of a task
// follows the one before (sequence + 1); a gap means an event was lost, and the whole task is read
// again. Events that arrive while it is being read are applied after it, in order: one older than
// the document at worst shows a device's previous state until the next event, which carries it.
// A task's final status is read whole too, for what only the document has (its end time, error).

const kFinal = new Set(['SUCCESS', 'FAILED', 'ABORTED', 'STOPPED']);
const kCounts = ['abortedCount', 'completedCount', 'delayedDeviceCount', 'deviceCount', 'failedCount',
  'readyDeviceCount', 'runningDeviceCount', 'successCount'];

export class UpgradeFeed {
  // readCurrent: reads the current upgrade and hands a task document to onDocument (a promise).
  // show(task, changedDevices): changedDevices null when the whole task is new.
  constructor(readCurrent, show) {
    this.readCurrent = readCurrent;
    this.show = show;
    this.task = null;
    this.positions = new Map();  // nodeId -> index into task.devices
    this.sequence = null;        // of the last event applied; null: the next one is taken as it is
    this.reading = false;
    this.arrived = [];           // events that came while reading
    this.stats = { reads: 0, gapReads: 0, applied: 0, dropped: 0 };
  }

  onDocument(task) {
    this.task = task;
    this.positions = new Map(task.devices.map((device, index) => [device.nodeId, index]));
    this.sequence = null;
    this.show(task, null);
  }

  onDevices(event) {
    if (this.reading) {
      this.arrived.push(event);
      return;
    }
    const task = this.task;
    if (!task || task.upgradeNo !== event.upgradeNo) {
      this.read(false);
      return;
    }
    // Test hook: lose one running event that would have been applied, as a broken link would.
    if (window.otaDropUpgradeDevices && this.sequence !== null && event.sequence === this.sequence + 1 &&
        event.status === 'RUNNING') {
      window.otaDropUpgradeDevices = false;
      this.stats.dropped += 1;
      return;
    }
    if (this.sequence !== null && event.sequence !== this.sequence + 1) {
      this.read(true);
      return;
    }
    this.sequence = event.sequence;
    this.stats.applied += 1;
    for (const device of event.devices) {
      const position = this.positions.get(device.nodeId);
      if (position === undefined) {
        this.positions.set(device.nodeId, task.devices.length);
        task.devices.push(device);
      } else {
        task.devices[position] = device;
      }
    }
    for (const key of kCounts) {
      task[key] = event[key];
    }
    task.status = event.status;
    this.show(task, event.devices);
    if (kFinal.has(event.status)) {
      this.read(false);
    }
  }

  read(gap) {
    if (this.reading) {
      return;
    }
    this.reading = true;
    this.stats.reads += 1;
    this.stats.gapReads += gap ? 1 : 0;
    Promise.resolve(this.readCurrent()).catch(() => {}).finally(() => {
      this.reading = false;
      const arrived = this.arrived.splice(0);
      for (const event of arrived) {
        this.onDevices(event);
      }
    });
  }
}
