// The periodic statistics report, on a thread of its own.
#pragma once

void* statsThread(void* unused);
