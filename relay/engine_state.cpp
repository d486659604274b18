#include "relay/engine_state.h"

Q_ENGINE_STATE g_engine;
