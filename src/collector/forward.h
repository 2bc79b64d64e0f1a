// Sends the oldest queued datagram as one forwarding record.
#pragma once

// The caller makes sure a message is queued.
void forwardPacket();
