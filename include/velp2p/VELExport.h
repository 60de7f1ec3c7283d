// Marks what the shared library exports; everything else stays hidden.
#ifndef VELP2P_VELEXPORT_H
#define VELP2P_VELEXPORT_H

#define VELP2P_API __attribute__((visibility("default")))

#endif
