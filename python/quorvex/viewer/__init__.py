"""`quorvex viewer`: the cameras in a web browser."""
