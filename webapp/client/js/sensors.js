// What the kit's sensors measure, in words and units, and the fixed configurations.
// Names and words come from the catalogue; the English texts below name the entries.
import { t, language } from './i18n.js';

// Units of the converted values. The conversions of the accelerometer, barometer,
// thermometer, battery and analog inputs give physical units (g, kPa, °C, V). For the
// other sensors the conversion only scales counts; the unit chosen for each is stated
// here, once, and used by every graph, legend and export label.
//
//   sensor            unit     why
//   Magnetometer      a.u.     scale is a per-axis count ratio with no stated field unit
//   Gyroscope         rad/s    938.7 counts per unit = the ±2000 °/s range in rad/s
//   Microphone        a.u.     sound level relative to the ADC range
//   Light             a.u.     relative light intensity
//   Force             N        force probe scale (counts per newton)
//   Wheel             m, m/s, m/s²   1000 counts per metre of travel
//   Ecg / Ecg6        mV       electrode potentials around mid-scale
//   HighGain          V        amplified input around mid-scale
//   Digital           level    line j is drawn at j (low) or j + 0.5 (high)
export const UNIT_NOTES = {
  2: 'a.u.', 3: 'rad/s', 6: 'a.u.', 7: 'a.u.', 8: 'N', 9: 'm, m/s, m/s²',
  10: 'mV', 12: 'V', 13: 'level', 241: 'mV',
};

const xyz = (unit) => [
  { label: 'x', unit }, { label: 'y', unit }, { label: 'z', unit },
];

// id -> { name (class), title (for people), measures, axes (converted values), leads }
export const SENSORS = {
  1: { name: 'Accelerometer', title: 'Accelerometer', measures: 'acceleration', axes: xyz('g') },
  2: { name: 'Magnetometer', title: 'Magnetometer', measures: 'magnetic field', axes: xyz('a.u.') },
  3: { name: 'Gyroscope', title: 'Gyroscope', measures: 'rotation rate', axes: xyz('rad/s') },
  4: {
    name: 'Barometer', title: 'Barometer', measures: 'air pressure and temperature',
    axes: [{ label: 'pressure', unit: 'kPa' }, { label: 'temperature', unit: '°C' }],
  },
  6: { name: 'Microphone', title: 'Microphone', measures: 'sound', axes: [{ label: 'sound', unit: 'a.u.' }] },
  7: { name: 'Light', title: 'Light sensor', measures: 'light intensity', axes: [{ label: 'light', unit: 'a.u.' }] },
  8: { name: 'Force', title: 'Force probe', measures: 'force', axes: [{ label: 'force', unit: 'N' }] },
  9: {
    name: 'Wheel', title: 'Wheel encoder', measures: 'position, speed and acceleration of a wheel',
    axes: [
      { label: 'position', unit: 'm' }, { label: 'velocity', unit: 'm/s' },
      { label: 'acceleration', unit: 'm/s²' },
    ],
  },
  10: {
    name: 'Ecg', title: 'ECG', measures: 'heart signals (ECG)',
    axes: [{ label: 'electrode 1', unit: 'mV' }, { label: 'electrode 2', unit: 'mV' }, { label: 'electrode 3', unit: 'mV' }],
  },
  11: { name: 'Battery', title: 'Battery', measures: 'battery voltage', axes: [{ label: 'battery', unit: 'V' }] },
  12: { name: 'HighGain', title: 'High-gain input', measures: 'small voltages (high-gain input)', axes: [{ label: 'input', unit: 'V' }] },
  13: {
    name: 'Digital', title: 'Digital inputs', measures: 'eight digital lines',
    axes: [{ label: 'line 0', unit: 'level' }],
    // The library returns one line per query; all eight are asked for one by one.
    lines: 8,
  },
  21: { name: 'Analog7', title: 'Analog input 7', measures: 'voltage on analog input 7', axes: [{ label: 'input 7', unit: 'V' }] },
  22: { name: 'Analog8', title: 'Analog input 8', measures: 'voltage on analog input 8', axes: [{ label: 'input 8', unit: 'V' }] },
  23: { name: 'Analog9', title: 'Analog input 9', measures: 'voltage on analog input 9', axes: [{ label: 'input 9', unit: 'V' }] },
  26: { name: 'Thermometer', title: 'Thermometer', measures: 'temperature', axes: [{ label: 'temperature', unit: '°C' }] },
  241: {
    name: 'Ecg6', title: 'ECG (6 channels)', measures: 'heart signals on six channels, with derived leads',
    axes: [
      { label: 'electrode 1', unit: 'mV' }, { label: 'electrode 2', unit: 'mV' }, { label: 'electrode 3', unit: 'mV' },
      { label: 'input 7', unit: 'mV' }, { label: 'input 8', unit: 'mV' }, { label: 'input 9', unit: 'mV' },
    ],
    leads: [
      'e1 − e2', 'e1 − e3', 'e2 − e3', '(e2 + e3)/2 − e1', '(e1 + e3)/2 − e2', '(e1 + e2)/2 − e3',
      'mean − in 7', 'mean − in 8', 'mean − in 9',
    ],
  },
};

// Axis names in the page's language: x, y, z stay as they are.
export function axisLabel(label) {
  if (/^[xyz]$/.test(label)) return label;
  const m = /^(line|electrode|input|value|lead) (\d+)$/.exec(label);
  if (m) return t(`axis.${m[1]}N`, { n: m[2] });
  return t(`axis.${label}`);
}

export function sensorInfo(type) {
  const info = SENSORS[type];
  if (!info) {
    return {
      name: `Sensor${type}`, title: t('sensor.unknownTitle', { type }), measures: t('sensor.unknownMeasures'),
      axes: [{ label: t('axis.value'), unit: '' }],
    };
  }
  return {
    ...info,
    title: t(`sensor.${type}.title`),
    measures: t(`sensor.${type}.measures`),
    axes: info.axes.map((a) => ({ ...a, label: axisLabel(a.label) })),
  };
}

export function sensorTitle(type) {
  return SENSORS[type] ? t(`sensor.${type}.title`) : t('sensor.unknownTitle', { type });
}

// Axis descriptions for a query's result: all axes (-1), one axis, or a derived lead.
export function axisDescriptions(type, axis, sampleSize) {
  const info = sensorInfo(type);
  if (axis === -1 || axis === undefined) {
    const out = info.axes.slice(0, sampleSize);
    while (out.length < sampleSize) out.push({ label: axisLabel(`value ${out.length}`), unit: '' });
    return out;
  }
  if (info.leads) return [{ label: info.leads[axis] ?? axisLabel(`lead ${axis}`), unit: info.axes[0].unit }];
  if (info.lines) return [{ label: axisLabel(`line ${axis}`), unit: 'level' }];
  return [info.axes[axis] ?? { label: axisLabel(`value ${axis}`), unit: '' }];
}

// Fixed configurations: number -> [[sensor type, rate in Hz], ...] in order of creation.
const ANALOG_SET = [[21, 100], [22, 100], [23, 100], [13, 100], [12, 200]];
export const FIXED_CONFIGS = {
  1: [[3, 380]],
  2: [[1, 400]],
  3: [[1, 100], [2, 80], [3, 95], [12, 100]],
  4: [[1, 200], [9, 100], [8, 200]],
  5: [[1, 100], [3, 95], [8, 100]],
  6: [[26, 50], [4, 100], [11, 50], [7, 400]],
  7: [[10, 400]],
  8: ANALOG_SET,
  9: [[6, 2400]],
  10: [[2, 80], [12, 400]],
  12: ANALOG_SET,
  32: [[3, 760]],
  33: [[1, 800]],
  34: [[1, 400], [2, 80], [3, 190]],
  35: [[1, 200], [3, 190], [9, 100], [8, 200]],
  36: [[10, 200], [1, 200], [2, 80], [3, 190]],
  37: [[1, 200], [3, 190], [8, 200]],
  38: [[2, 80], [1, 100], [9, 100], [8, 100], [3, 95], [7, 100], [11, 100], [12, 100], [21, 100], [13, 100], [4, 100]],
  39: [[6, 4800]],
  40: [[7, 4800]],
  41: [[7, 800], [1, 800]],
  42: [[8, 800], [1, 800]],
  43: [[7, 2400], [6, 2400]],
  44: [[10, 800]],
  45: [[12, 4800]],
  46: [[8, 4800]],
  47: [[241, 400]],
};

// Rates in words, as a teacher reads them out: "4,800 per second".
export function rateInWords(hz) {
  return t('rate.perSecond', { n: Number(hz).toLocaleString(language() === 'en' ? 'en-US' : language()) });
}

// One row per configuration: what it measures and how fast, in words.
export function configurationTable() {
  return Object.keys(FIXED_CONFIGS).map(Number).sort((a, b) => a - b).map((number) => {
    const sensors = FIXED_CONFIGS[number].map(([type, rate]) => ({
      type, rate, name: sensorInfo(type).title, measures: sensorInfo(type).measures,
      words: t('config.sensorAt', { sensor: sensorInfo(type).title, rate: rateInWords(rate) }),
    }));
    let summary = sensors.map((s) => s.words).join(', ');
    if (number === 12) summary += ` ${t('config.scaled33')}`;
    else if (number === 8) summary += ` ${t('config.scaled30')}`;
    return { number, sensors, summary, label: `${number}: ${summary}` };
  });
}

export function configurationSummary(number) {
  if (!number) return t('config.none');
  const row = configurationTable().find((r) => r.number === number);
  return row ? row.summary : t('config.unknown', { n: number });
}

export function nominalRate(config, type) {
  const row = FIXED_CONFIGS[config];
  const hit = row && row.find(([t]) => t === type);
  return hit ? hit[1] : undefined;
}

// Dongle mode mask -> words.
const MODES = [[16, 'mode.data'], [8, 'mode.connected'], [4, 'mode.paired'], [2, 'mode.pairing'], [1, 'mode.idle']];
export function dongleModeInWords(mask) {
  const names = MODES.filter(([bit]) => (mask & bit) !== 0).map(([, key]) => t(key));
  return names.length ? names.join(', ') : t('mode.unknown', { mask });
}
export const DATA_MODE = 16;
export const CONNECTED_MODE = 8;
