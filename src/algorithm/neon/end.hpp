// Closes what neon/begin.hpp opened (nothing to undo).
