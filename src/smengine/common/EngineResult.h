// Results of the SM2 message engine: ORLO_OK, -1 for a failure of its own,
// a plain Win32 error number, or one of the system's 0xA007xxxx codes (as
// int). The agent turns them into result codes.
#pragma once

inline constexpr int ORLO_OK = 0;
inline constexpr int ORLO_FAILED = -1;

// Win32 error numbers the engine returns as they are, not as HRESULTs.
inline constexpr int ORLO_WRITE_FAULT = 29;
inline constexpr int ORLO_READ_FAULT = 30;
inline constexpr int ORLO_INVALID_PARAMETER = 87;
