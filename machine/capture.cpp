#include "machine/capture.h"

const CaptureSink *capture_sink = nullptr;
