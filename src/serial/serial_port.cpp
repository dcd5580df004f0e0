// (being written)
#include "serial/serial_port.h"
int openSerialPort() { return 0; }
void closeLink() {}
uint32_t queryCommErrors() { return 0; }
