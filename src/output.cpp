// placeholder until this role is written
