// The DMI settings dialog (dialog 116 "BCPDMI Setting"): the technician enters the system serial
// number, the BIOS flag and the purchase date to be written.
#pragma once

constexpr int kDmiDialogId = 116;
constexpr int kDmiSerialEdit = 1017;
constexpr int kDmiFlagEdit = 1018;
constexpr int kDmiDateEdit = 1019;

// Runs the dialog modally, without owner, on the calling thread. Its fields start with the current
// values; OK is taken only when each text has the length of the value it replaces, and then the
// three texts are in newSerial, newBiosFlag and newPurchaseDate and dmiAccepted is 1. Cancel and
// the close box leave dmiAccepted 0. False when the dialog could not be created (dmiAccepted 0).
bool RunDmiDialog();
