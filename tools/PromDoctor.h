// PromDoctor: promtool doctor, on the unit: checks, in order, everything the
// unit's identity depends on (I2C buses, the chip, its read, the crypto
// library, the record, the MAC address, the service and what it publishes),
// one line each, running every check even after one failed, and names the
// first cause of a missing or invalid identity.
#ifndef TOOLS_PROMDOCTOR_H
#define TOOLS_PROMDOCTOR_H

// argv[0] is "doctor". Returns the exit status: ExitOk on a healthy unit
// whose service runs and publishes, ExitFailed when a cause was found.
int PromDoctorCommand(int argc, char* argv[]);

#endif
