// Lets tests choose the login and host names that VELGetLoginName and VELGetSystemInfo report.
#ifndef VELP2P_HOST_VELSYSTEMOVERRIDES_H
#define VELP2P_HOST_VELSYSTEMOVERRIDES_H

// A non-null text replaces the system's answer from then on; null restores the system's answer.
void VELSystemSetOverrides(const char* login, const char* host);

#endif
