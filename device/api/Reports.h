// Reports: the documents and number buffers the page reads. Pure builders over the
// acquisition and its sensors; the API object's slots call them.
//
// Every document's key order and BSON types are the page's contract: numbers are int32
// unless said otherwise, arrays are BSON arrays with keys "0", "1", ...
#pragma once

#include "KorvexAPI.h"

#include <bson/bson.h>

class Acquisition;
class Sensor;
class SampleCollection;
struct BoundingBoxData;

namespace Reports {

// The acquisition report: "ID", "fromDB" (only when reloaded), "lastStartDate" (ISO basic
// text or "not-a-date-time"), then "remote1"/"remote2" for the remotes it holds, each
// { "config", "sensors": [ { "remote", "config", "sensorType", "sampleSize", "frames",
// "packets" } ] } in ascending sensor type. "frames" counts the sensor's 10 ms frames since
// its first accepted one and "packets" the packets it accepted, so frames - packets is the
// number of frames lost on the radio link.
void appendAcquisition(bson_t* document, const Acquisition& acquisition);

// "boundingBox": { "max": [ doubles ], "min": [ doubles ] }; both arrays empty for a null
// box or a box of width 0.
void appendBoundingBox(bson_t* document, const BoundingBoxData* box);

// Whether `axis` selects something of this sensor: -1 (all axes), a value of the sample,
// or for the combined ECG one of its nine leads.
bool isValidAxis(const Sensor& sensor, int axis);

// The one-sensor result. `samples` is a query's private result collection; it gets a
// bounding box of the output width when it has none. The buffer gets times, then one column
// per output value, then (with `raw`) one raw column per output value; `data` is always
// allocated (an empty array for no samples). An axis that selects nothing gives the result
// of an empty collection with one output value.
// Keys: "remote", "sensorType", "sampleSize", "sampleRate", "datalength", "rawdata",
// "boundingBox".
void formatSensorData(bson_t* document, bufferArray* data, SampleCollection& samples,
                      const Sensor& sensor, bool raw, int axis);

// The two-sensor result: a merge-join of the two collections on equal times. `data` is
// null when either collection is empty, an empty array when nothing matches.
// Keys: "remote", "sampleRate" (100), "sensorType" [t1, t2], "sampleSize" [A, B] (doubles),
// "datalength".
void formatSensorPair(bson_t* document, bufferArray* data, const SampleCollection& first,
                      const SampleCollection& second, const Sensor& firstSensor,
                      const Sensor& secondSensor);

} // namespace Reports
