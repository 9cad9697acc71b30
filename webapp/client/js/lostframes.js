// Lost radio frames. Every sensor element of the run report carries "frames" (10 ms frames
// since the sensor's first accepted frame) and "packets" (accepted packets); the difference
// is what the radio lost. Where in the run it was lost is found from the frame averages of
// the two-sensor query: they are stamped at whole frames (frame total x 0.01 s), so a step
// of more than one frame between neighbours is a gap.
import { asArray } from './bsondoc.js';

export const FRAME_SECONDS = 0.01;

function count(value) {
  return Number.isInteger(value) && value >= 0 ? value : null;
}

// Run report -> Map "remote:sensorType" -> { remote, sensorType, frames, packets, lost }.
// A sensor without the two keys (an older library) is left out rather than shown as 0 lost;
// a report whose packets exceed its frames (impossible) shows 0 lost, not a negative count.
export function lostFrames(stack) {
  const out = new Map();
  for (const n of [1, 2]) {
    for (const s of asArray(stack?.[`remote${n}`]?.sensors)) {
      const frames = count(s?.frames);
      const packets = count(s?.packets);
      if (frames === null || packets === null) continue;
      out.set(`${n}:${s.sensorType}`, {
        remote: n, sensorType: s.sensorType, frames, packets, lost: Math.max(0, frames - packets),
      });
    }
  }
  return out;
}

// Lost frames of one remote: its sensors share the radio packets, so the worst sensor
// speaks for the remote.
export function lostPerRemote(map) {
  const out = new Map();
  for (const v of map.values()) {
    const cur = out.get(v.remote);
    if (!cur || v.lost > cur.lost) out.set(v.remote, { remote: v.remote, lost: v.lost, frames: v.frames, packets: v.packets });
  }
  return out;
}

// Frame-average times (seconds, one per accepted packet, ascending) -> gaps:
// [{ packetsBefore, frameTime, lost }], where packetsBefore is the number of packets accepted
// before the gap and frameTime the frame time where the gap begins. Times are single
// precision, so steps are rounded to whole frames.
export function findGaps(times) {
  const gaps = [];
  for (let i = 1; i < times.length; i++) {
    const step = Math.round((times[i] - times[i - 1]) / FRAME_SECONDS);
    if (step > 1) gaps.push({ packetsBefore: i, frameTime: times[i - 1] + FRAME_SECONDS, lost: step - 1 });
  }
  return gaps;
}

// Gaps -> positions on a graph's time axis. A sensor's sample times count samples, not
// frames, so the lost time is not on its axis; a gap sits after `packetsBefore` packets,
// i.e. at packetsBefore x (time per packet), with the time per packet taken from the
// sensor's last sample time and its packet count.
export function gapMarks(gaps, { lastTime, packets }) {
  if (!(lastTime > 0) || !(packets > 0)) return [];
  const perPacket = lastTime / packets;
  return gaps.map((g) => ({ time: g.packetsBefore * perPacket, lost: g.lost }));
}

// Which sensor of a remote to ask for the frame averages: one that has at least one sample
// in every frame (100 Hz and above; slower sensors skip frames without losing any), and of
// those the one with the fewest values, to keep the reply small.
export function gapProbeSensor(sensors, rateOf) {
  const fit = sensors.filter((s) => (rateOf(s.sensorType) ?? 0) >= 100);
  if (!fit.length) return null;
  return fit.reduce((best, s) => ((s.sampleSize ?? 1) < (best.sampleSize ?? 1) ? s : best));
}
