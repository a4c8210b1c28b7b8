#pragma once

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// The JSON schema of kvtool-cli as the README documents it, for the tests: each object
// type as its keys with the JSON types each may take.
namespace schema {

enum Type : int { Str = 1, Num = 2, Bool = 4, Null = 8, Obj = 16, Arr = 32 };
using Schema = QList<QPair<QString, int>>;

const Schema& COMMON();  // every object
const Schema& RESULT();  // every command's last object
const Schema& PROBE();
const Schema& FIRMWARE();
const Schema& MARKS();
const Schema& SERIAL_FIELD();
const Schema& IMAGE();
const Schema& PLAN();
const Schema& ACCESS();  // one probe in the doctor's "probes"
const Schema& UDEV_RULE();
const Schema& SESSION();
const Schema& NODE();
const Schema& START();  // the install's events
const Schema& PHASE();
const Schema& PROGRESS();
const Schema& MESSAGE();
const Schema& INSTALL_RESULT();
const Schema& PROBE_RESULT();  // one probe's of several, in "probes" and its own event
const Schema& PER_PROBE();     // what each event of one probe of several adds
const Schema& RECORD();        // one line of a --log file
const Schema& PHASE_TIME();    // one of "phases"
const Schema& DOCTOR_RESULT();

// Every key of `schema` is present with one of its types, and no other key.
void expectSchema(const QJsonObject& object, const Schema& schema, const QString& where);
// The same for the nested objects that `object` holds under the keys the schema names.
void expectNested(const QJsonObject& object, const QString& where);

}  // namespace schema
