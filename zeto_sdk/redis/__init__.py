"""Records and helpers that nodes exchange through Redis."""
