"""Seeded test files in both formats (:mod:`.generate`) and the plain-Python book they are kept on."""
