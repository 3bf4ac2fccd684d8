#pragma once
#include "RecordingAuthorization.h" // the recording runner holds the recording tool
