// Undo and redo over snapshots of the review edits (track exclusions, manual
// masks, mask style). The caller edits freely and commits when an edit is
// finished; a slider drag is one step, not one per pixel.

const clone = (value) => JSON.parse(JSON.stringify(value));
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

export class History {
  constructor(initial, limit = 200) {
    this.limit = limit;
    this.reset(initial);
  }

  reset(state) {
    this.past = [];
    this.future = [];
    this.present = clone(state);
  }

  /** Records `state` as a new step unless it equals the last committed one. */
  commit(state) {
    if (same(state, this.present)) return false;
    this.past.push(this.present);
    if (this.past.length > this.limit) this.past.shift();
    this.present = clone(state);
    this.future = [];
    return true;
  }

  get canUndo() { return this.past.length > 0; }
  get canRedo() { return this.future.length > 0; }

  /** The state to restore, or null when there is nothing to undo. */
  undo() {
    if (!this.canUndo) return null;
    this.future.push(this.present);
    this.present = this.past.pop();
    return clone(this.present);
  }

  redo() {
    if (!this.canRedo) return null;
    this.past.push(this.present);
    this.present = this.future.pop();
    return clone(this.present);
  }
}
