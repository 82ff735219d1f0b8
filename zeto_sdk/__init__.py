"""Zeto SDK: the pieces a pipeline node uses to exchange data with its peers.

This checkout bundles only the data records of ``zeto_sdk.redis.zeto_data``.
"""
