"""Tests of the varnholt_replay companion package."""
